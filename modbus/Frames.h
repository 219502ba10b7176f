#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

// Modbus RTU function codes this system speaks.
inline constexpr uint8_t kFnReadHoldingRegisters = 0x03;
inline constexpr uint8_t kFnWriteSingleRegister = 0x06;

// How the tool reaches the module: directly on its serial port, or through the
// PLC gateway, which shifts every register address by kPlcCanAddressOffset.
enum class TLinkMode { PcUart, PlcCan };

// The PLC gateway presents module register r at address 2200 + r.
inline constexpr uint32_t kPlcCanAddressOffset = 2200;

inline constexpr size_t kRequestFrameSize = 8;   // station, function, 2 x 16 bit, CRC
inline constexpr size_t kReadReplyOverhead = 5;  // station, function, byte count, CRC
inline constexpr size_t kCrcSize = 2;

// An exception reply: station, the request's function code with the high bit
// set, the exception code, CRC.
inline constexpr uint8_t kExceptionFlag = 0x80;
inline constexpr size_t kExceptionFrameSize = 5;

// What an exception code means ("illegal data address" for 2); "unknown
// exception" for a code outside the standard's list.
const char *ExceptionName(uint8_t code);

using RequestFrame = std::array<uint8_t, kRequestFrameSize>;

// The address that goes on the wire for register number `reg` in `mode`.
// The only place that knows the PLC-CAN shift.
uint16_t WireAddress(uint32_t reg, TLinkMode mode);

// Station, function, two big-endian words, CRC low byte first. Function 3 carries
// (start address, count), function 6 (register address, value).
RequestFrame BuildRequest(uint8_t station, uint8_t function, uint16_t first, uint16_t second);

// Appends the CRC of bytes[0 .. length-1] at bytes[length], bytes[length+1].
void PutCrc(uint8_t *bytes, size_t length);

// True when the last two of `length` bytes are the CRC of the ones before them.
bool CrcMatches(const uint8_t *bytes, size_t length);

inline uint16_t GetWordBE(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
inline void PutWordBE(uint8_t *p, uint16_t w)
{
    p[0] = static_cast<uint8_t>(w >> 8);
    p[1] = static_cast<uint8_t>(w & 0xFF);
}
