#pragma once
// Address map of a medium-density F1 part with 128 KiB of flash and 20 KiB of RAM.
// The flash base, page size, erased value and flash-size register are protocol
// facts a host needs too: they are in Stm32Protocol.h.
#include "firmware/stm32/Stm32Protocol.h"

#include <array>
#include <cstdint>

namespace stm32 {

inline constexpr uint32_t kPageCount = 128;  // pages of main flash
inline constexpr uint32_t kFlashBytes = kPageBytes * kPageCount;
inline constexpr uint16_t kErasedHalfWord = 0xFFFF;  // flash programs half-words onto this only
inline constexpr uint16_t kZeroHalfWord = 0x0000;    // ... or this value over anything

inline constexpr uint32_t kRamBase = 0x20000000;        // SRAM
inline constexpr uint32_t kRamBytes = 20 * 1024;        // 20 KiB
inline constexpr uint32_t kRamBootloaderBytes = 0x200;  // first 512 bytes belong to the bootloader

inline constexpr uint32_t kSystemBase = 0x1FFFF000;            // system memory: the bootloader and signature
inline constexpr uint32_t kSystemBytes = 0x800;                // up to 0x1FFFF7FF
inline constexpr uint16_t kFlashSizeKiB = kFlashBytes / 1024;  // 0x0080, at kFlashSizeRegister
inline constexpr uint32_t kUniqueIdAddress = 0x1FFFF7E8;       // 96-bit unique device ID
inline constexpr uint32_t kUniqueIdBytes = 12;
// The ID in the order a Read Memory hands it out.
using UniqueId = std::array<uint8_t, kUniqueIdBytes>;
// What a chip reports when nobody gave it another one.
inline constexpr UniqueId kDefaultUniqueId = {0x54, 0x41, 0x4C, 0x56, 0x45, 0x58, 0x00, 0x01, 0x20, 0x24, 0x06, 0x15};

inline constexpr uint32_t kOptionBase = 0x1FFFF800;  // option bytes, each followed by its complement
inline constexpr uint32_t kOptionBytes = 16;
inline constexpr uint8_t kRdpUnprotected = 0xA5;  // read-protection option byte: reading allowed
inline constexpr uint8_t kRdpProtected = 0x00;  // any other value forbids reading; this is what Readout Protect writes
inline constexpr uint32_t kPagesPerWrpBit = 4;  // one write-protection bit guards four 1 KiB pages

}  // namespace stm32
