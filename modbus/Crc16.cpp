#include "Crc16.h"

namespace {
constexpr uint16_t kCrcInit = 0xFFFF;
constexpr uint16_t kCrcPolyReflected = 0xA001;
}

uint16_t CalcCrc16(const uint8_t *bytes, size_t length)
{
    uint16_t crc = kCrcInit;
    for (size_t i = 0; i < length; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1u) ? static_cast<uint16_t>((crc >> 1) ^ kCrcPolyReflected)
                             : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}
