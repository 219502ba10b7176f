#pragma once
// The chip's serial bootloader protocol (USART, application note AN3155) and the
// flash facts a host needs to write through it. The tool's update and the
// simulated chip both speak from this header, so they cannot drift apart; the
// tests still spell the bytes out, so a wrong value here is caught. No Qt.
#include <cstddef>
#include <cstdint>

namespace stm32 {

inline constexpr uint8_t kSync = 0x7F;  // first byte from the host; the chip measures the baud rate on it
inline constexpr uint8_t kAck = 0x79;   // acknowledge
inline constexpr uint8_t kNack = 0x1F;  // not-acknowledge

inline constexpr uint8_t kCmdGet = 0x00;               // version and the command list
inline constexpr uint8_t kCmdGetVersion = 0x01;        // version and read-protection status
inline constexpr uint8_t kCmdGetId = 0x02;             // product ID
inline constexpr uint8_t kCmdReadMemory = 0x11;        // read up to 256 bytes
inline constexpr uint8_t kCmdGo = 0x21;                // jump to an address
inline constexpr uint8_t kCmdWriteMemory = 0x31;       // write up to 256 bytes
inline constexpr uint8_t kCmdErase = 0x43;             // erase pages, or all of flash
inline constexpr uint8_t kCmdWriteProtect = 0x63;      // protect flash sectors, then reset
inline constexpr uint8_t kCmdWriteUnprotect = 0x73;    // remove every sector protection, then reset
inline constexpr uint8_t kCmdReadoutProtect = 0x82;    // forbid reading flash, then reset
inline constexpr uint8_t kCmdReadoutUnprotect = 0x92;  // mass erase, allow reading, then reset

inline constexpr uint8_t kComplementMask = 0xFF;  // a command code XOR its complement gives this

inline constexpr uint8_t kBootloaderVersion = 0x22;  // protocol version 2.2 of this chip family
// Commands the Get answer of this version lists after the version byte; the
// answer's N byte (bytes that follow, less one) has the same value.
inline constexpr uint8_t kGetCommandCount = 11;
inline constexpr uint8_t kProductIdHigh = 0x04;           // product ID 0x0410, medium-density F1, high byte
inline constexpr uint8_t kProductIdLow = 0x10;            // and low byte
inline constexpr uint8_t kProductIdBytesMinusOne = 0x01;  // Get ID: the ID takes N + 1 = 2 bytes
inline constexpr uint8_t kOptionStatus1 = 0x00;           // Get Version: first read-protection status byte
inline constexpr uint8_t kOptionStatus2 = 0x00;           // Get Version: second read-protection status byte

inline constexpr uint8_t kGlobalEraseCode = 0xFF;   // page-count byte that asks for a global erase
inline constexpr uint8_t kGlobalEraseCheck = 0x00;  // the byte that must follow it

inline constexpr unsigned kAddressBytes = 4;        // addresses go most significant byte first
inline constexpr unsigned kWriteAlignment = 4;      // Write Memory takes whole 32-bit words only
inline constexpr unsigned kMaxTransferBytes = 256;  // largest Read/Write Memory block (count byte + 1)

// Main flash of the module's part (medium-density F1).
inline constexpr uint32_t kFlashBase = 0x08000000;          // main flash, page 0: image byte 0 goes here
inline constexpr uint32_t kPageBytes = 1024;                // erase unit of main flash
inline constexpr uint8_t kErasedByte = 0xFF;                // what an erased flash byte reads
inline constexpr uint32_t kFlashSizeRegister = 0x1FFFF7E0;  // device signature: flash size in KiB, 16 bits

// The checksum of an address, a page list or a data block: the XOR of `count`
// bytes, continued from `seed` (a data block's starts from its count byte).
constexpr uint8_t Xor(const uint8_t *bytes, size_t count, uint8_t seed = 0)
{
    for (size_t i = 0; i < count; ++i)
        seed ^= bytes[i];
    return seed;
}

}  // namespace stm32
