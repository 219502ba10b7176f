#include "modbus/Crc16.h"

#include <array>

namespace {
constexpr uint16_t kCrcInit = 0xFFFF;
constexpr uint16_t kCrcPolyReflected = 0xA001;

// The remainder of each byte value, so that a frame costs one look-up a byte:
// the poll checks its reply on every tick while it waits.
constexpr std::array<uint16_t, 256> kCrcTable = [] {
    std::array<uint16_t, 256> table{};
    for (unsigned value = 0; value < table.size(); ++value) {
        auto crc = static_cast<uint16_t>(value);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1u) ? static_cast<uint16_t>((crc >> 1) ^ kCrcPolyReflected) : static_cast<uint16_t>(crc >> 1);
        table[value] = crc;
    }
    return table;
}();
}  // namespace

uint16_t CalcCrc16(const uint8_t *bytes, size_t length)
{
    uint16_t crc = kCrcInit;
    for (size_t i = 0; i < length; ++i)
        crc = static_cast<uint16_t>((crc >> 8) ^ kCrcTable[(crc ^ bytes[i]) & 0xFFu]);
    return crc;
}
