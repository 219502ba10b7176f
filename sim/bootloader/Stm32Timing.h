#pragma once
// How long the chip and the line take, for a runner that paces replies like hardware.
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace stm32 {

using Micros = std::chrono::microseconds;

inline constexpr Micros kPageEraseTime{20000};     // one 1 KiB page, typical
inline constexpr Micros kMassEraseTime{40000};     // whole main flash at once, upper figure
inline constexpr Micros kHalfWordProgramTime{52};  // one 16-bit flash write, typical
inline constexpr Micros kOptionBytesTime{40000};   // option bytes erased and programmed again, upper figure
inline constexpr unsigned kBitsPerChar = 11;       // 8E1: start, 8 data, parity, stop
inline constexpr uint32_t kDefaultBaud = 115200;   // the update's line speed

// Time the given number of characters take on the line.
inline Micros WireTime(size_t chars, uint32_t baud)
{
    if (baud == 0)
        baud = kDefaultBaud;
    return Micros(static_cast<int64_t>(chars) * kBitsPerChar * 1000000 / baud);
}

}  // namespace stm32
