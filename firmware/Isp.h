#pragma once
// Bytes and times of the microcontroller's serial bootloader as the update uses them.
#include <cstdint>

namespace Isp {
inline constexpr uint8_t kSync = 0x7F;        // first byte after reset: lets the bootloader measure the baud rate
inline constexpr uint8_t kAck = 0x79;         // command or data accepted
inline constexpr uint8_t kNack = 0x1F;        // command or data refused
inline constexpr uint8_t kCmdGet = 0x00;      // bootloader version and command list
inline constexpr uint8_t kCmdGetId = 0x02;    // product ID
inline constexpr uint8_t kCmdRead = 0x11;     // Read Memory
inline constexpr uint8_t kCmdErase = 0x43;    // Erase Memory (page list form)
inline constexpr uint8_t kCmdWrite = 0x31;    // Write Memory
inline constexpr uint8_t kGetCommandCount = 0x0B;  // N in the Get reply: 11 commands follow the version
inline constexpr uint8_t kGetIdLength = 0x01;      // N in the Get ID reply: two ID bytes

inline constexpr uint32_t kFlashBase = 0x08000000;       // image byte 0 goes here
inline constexpr uint32_t kFlashSizeAddress = 0x1FFFF7E0; // device signature: flash size field
inline constexpr uint8_t kFlashSizeReadCount = 4;          // bytes read from there
inline constexpr int kPageSize = 1024;                     // erase granularity
inline constexpr int kMaxBlock = 256;                      // bytes per Write Memory
inline constexpr int kWriteAlign = 4;                      // Write Memory takes whole words only
inline constexpr uint8_t kErasedByte = 0xFF;               // what erased flash reads

// Waits of the bootloader entry and of the finish, milliseconds.
inline constexpr uint32_t kResetPulseMs = 500;    // DTR and RTS held, then DTR alone released
inline constexpr uint32_t kBootSettleMs = 500;    // bootloader starts before the sync byte
inline constexpr uint32_t kFinishHoldMs = 300;    // DTR held before RTS drops, restarting the program

inline constexpr int kStepIntervalMs = 3;         // step timer
inline constexpr int kOvertimeIntervalMs = 1000;  // time-out timer
inline constexpr uint8_t kOvertimeStart = 2;      // a fresh run gets four ticks for the sync answer
inline constexpr uint8_t kOvertimeLimit = 5;      // the sixth tick without an accepted reply ends the run
inline constexpr uint8_t kMaxRuns = 3;            // runs per press of the start button
} // namespace Isp
