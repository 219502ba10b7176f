#pragma once
// Where the update core builds its commands, shared by its two source files.
#include "firmware/FirmwareImage.h"
#include "firmware/UpdateCore.h"
#include "firmware/stm32/Stm32Protocol.h"

namespace {

// Command bytes start at byte 1 of the command/reply area.
constexpr int kCmd = 1;
constexpr int kPageBytes = int(stm32::kPageBytes);
constexpr int kMaxBlock = int(stm32::kMaxTransferBytes);
// Pages one erase request may list: its count byte (pages - 1) stays below the
// global erase code, and the list fits the command area.
constexpr int kMaxErasePages = int(stm32::kGlobalEraseCode);
static_assert(1 + kMaxErasePages + 1 <= int(kIspCommandLast) - kCmd + 1);
// An action that has put the run where it belongs itself (the finish, a refusal,
// a failed load) returns this instead of a next state.
constexpr TUpdateCore::State kStayPut = TUpdateCore::State(-1);
// A read-back block, after its ACK, fits the command/reply area.
static_assert(1 + kMaxBlock <= int(kIspCommandLast) - kCmd + 1);

}  // namespace
