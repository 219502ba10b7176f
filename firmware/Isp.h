#pragma once
// The update's own choices on top of the bootloader protocol (Stm32Protocol.h):
// what it reads, how long it waits, how often it tries.
#include "firmware/stm32/Stm32Protocol.h"

#include <cstdint>

namespace Isp {
// The flash-size field is 16 bits; the update reads a whole word from it.
inline constexpr uint8_t kFlashSizeReadCount = 4;
// The chip's 96-bit unique ID, read for the line's records.
inline constexpr uint32_t kUniqueIdAddress = 0x1FFFF7E8;
// The product ID of the module's chip family, as Get ID answers it.
inline constexpr uint16_t kModuleProductId = uint16_t(stm32::kProductIdHigh << 8 | stm32::kProductIdLow);

// Waits of the bootloader entry and of the finish, milliseconds.
inline constexpr uint32_t kResetPulseMs = 500;  // DTR and RTS held, then DTR alone released
inline constexpr uint32_t kBootSettleMs = 500;  // bootloader starts before the sync byte
inline constexpr uint32_t kFinishHoldMs = 300;  // DTR held before RTS drops, restarting the program
// After a protection command the chip restarts by itself (the boot pin still
// high, so into its bootloader again); the sync byte waits for that.
inline constexpr uint32_t kOptionRestartMs = 100;

// The option bytes, each followed by its complement: read for the write
// protection, whose WRP0 ... WRP3 bytes have one bit per four pages (a cleared
// bit protects them).
inline constexpr uint32_t kOptionBytesAddress = 0x1FFFF800;
inline constexpr int kOptionBytesCount = 16;
inline constexpr int kWrpFirstOffset = 8;
inline constexpr int kWrpBytes = 4;
inline constexpr int kPagesPerWrpBit = 4;

inline constexpr int kStepIntervalMs = 3;         // step timer
inline constexpr int kOvertimeIntervalMs = 1000;  // time-out timer
inline constexpr uint8_t kOvertimeStart = 2;      // a fresh run gets four ticks for the sync answer
inline constexpr uint8_t kOvertimeLimit = 5;      // the sixth tick without an accepted reply ends the run
inline constexpr uint8_t kMaxRuns = 3;            // runs per press of the start button
}  // namespace Isp
