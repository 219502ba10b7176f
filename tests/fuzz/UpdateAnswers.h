#pragma once
// What a bootloader that agrees answers in each of the window's update states,
// with the free bytes (version, command list, product ID, the flash-size word)
// taken from the fuzz input. Shared by the update's fuzz harnesses.
#include "firmware/stm32/Stm32Protocol.h"
#include "tests/fuzz/FuzzSupport.h"

#include <cstdint>
#include <vector>

namespace fuzz {

inline std::vector<uint8_t> AgreeingAnswer(int state, Input &in)
{
    constexpr uint8_t A = stm32::kAck;
    switch (state) {
    case 2: {  // Get: N = 11, version, the command list starting with Get, ACK
        std::vector<uint8_t> r{A, stm32::kGetCommandCount, in.byte(), stm32::kCmdGet};
        for (int i = 1; i < stm32::kGetCommandCount; ++i)
            r.push_back(in.byte());
        r.push_back(A);
        return r;
    }
    case 3:
        return {A, stm32::kProductIdBytesMinusOne, in.byte(), in.byte(), A};
    case 6:
        return {A, in.byte(), in.byte(), in.byte(), in.byte()};
    default:
        return {A};
    }
}

}  // namespace fuzz
