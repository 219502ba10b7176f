#include "modbus/Frames.h"

#include "modbus/Crc16.h"

uint16_t WireAddress(uint32_t reg, TLinkMode mode)
{
    const uint32_t address = mode == TLinkMode::PlcCan ? reg + kPlcCanAddressOffset : reg;
    return static_cast<uint16_t>(address & 0xFFFF);
}

void PutCrc(uint8_t *bytes, size_t length)
{
    const uint16_t crc = CalcCrc16(bytes, length);
    bytes[length] = static_cast<uint8_t>(crc & 0xFF);
    bytes[length + 1] = static_cast<uint8_t>(crc >> 8);
}

bool CrcMatches(const uint8_t *bytes, size_t length)
{
    if (length < kCrcSize + 1)
        return false;
    const uint16_t crc = CalcCrc16(bytes, length - kCrcSize);
    return bytes[length - 2] == (crc & 0xFF) && bytes[length - 1] == (crc >> 8);
}

RequestFrame BuildRequest(uint8_t station, uint8_t function, uint16_t first, uint16_t second)
{
    RequestFrame frame{};
    frame[0] = station;
    frame[1] = function;
    PutWordBE(&frame[2], first);
    PutWordBE(&frame[4], second);
    PutCrc(frame.data(), 6);
    return frame;
}

const char *ExceptionName(uint8_t code)
{
    switch (code) {
    case 0x01:
        return "illegal function";
    case 0x02:
        return "illegal data address";
    case 0x03:
        return "illegal data value";
    case 0x04:
        return "server device failure";
    case 0x05:
        return "acknowledge";
    case 0x06:
        return "server device busy";
    case 0x08:
        return "memory parity error";
    case 0x0A:
        return "gateway path unavailable";
    case 0x0B:
        return "gateway target device failed to respond";
    }
    return "unknown exception";
}
