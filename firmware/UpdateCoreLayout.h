#pragma once
// Where the update core builds its commands, shared by its two source files.
#include "firmware/FirmwareImage.h"
#include "firmware/stm32/Stm32Protocol.h"

namespace {

// Command bytes start at byte 1 of the command/reply area.
constexpr int kCmd = 1;
constexpr int kPageBytes = int(stm32::kPageBytes);
constexpr int kMaxBlock = int(stm32::kMaxTransferBytes);
// An action that has put the run where it belongs itself (the finish, a refusal,
// a failed load) returns this instead of a next state.
constexpr int32_t kStayPut = -1;
// A read-back block, after its ACK, fits the command/reply area.
static_assert(1 + kMaxBlock <= int(kIspCommandLast) - kCmd + 1);

}  // namespace
