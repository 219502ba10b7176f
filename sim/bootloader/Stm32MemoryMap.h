#pragma once
// Address map of a medium-density F1 part with 128 KiB of flash and 20 KiB of RAM.
#include <cstdint>

namespace stm32 {

inline constexpr uint32_t kFlashBase = 0x08000000;  // main flash, page 0
inline constexpr uint32_t kPageBytes = 1024;        // erase unit of main flash
inline constexpr uint32_t kPageCount = 128;         // pages of main flash
inline constexpr uint32_t kFlashBytes = kPageBytes * kPageCount;
inline constexpr uint8_t kErasedByte = 0xFF;        // what an erased flash byte reads
inline constexpr uint16_t kErasedHalfWord = 0xFFFF; // flash programs half-words onto this only
inline constexpr uint16_t kZeroHalfWord = 0x0000;   // ... or this value over anything

inline constexpr uint32_t kRamBase = 0x20000000;          // SRAM
inline constexpr uint32_t kRamBytes = 20 * 1024;          // 20 KiB
inline constexpr uint32_t kRamBootloaderBytes = 0x200;    // first 512 bytes belong to the bootloader

inline constexpr uint32_t kSystemBase = 0x1FFFF000;      // system memory: the bootloader and signature
inline constexpr uint32_t kSystemBytes = 0x800;           // up to 0x1FFFF7FF
inline constexpr uint32_t kFlashSizeRegister = 0x1FFFF7E0;  // flash size in KiB, 16 bits
inline constexpr uint16_t kFlashSizeKiB = kFlashBytes / 1024;  // 0x0080
inline constexpr uint32_t kUniqueIdAddress = 0x1FFFF7E8;  // 96-bit unique device ID
inline constexpr uint32_t kUniqueIdBytes = 12;

inline constexpr uint32_t kOptionBase = 0x1FFFF800;  // option bytes, each followed by its complement
inline constexpr uint32_t kOptionBytes = 16;
inline constexpr uint8_t kRdpUnprotected = 0xA5;     // read-protection option byte: reading allowed

} // namespace stm32
