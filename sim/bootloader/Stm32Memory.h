#pragma once
// The chip's memories as the bootloader reaches them: main flash with its erase
// and programming rules, RAM, the system area with the device signature, and the
// option bytes (as shipped: no protection) with their read and write protection.
#include "sim/bootloader/Stm32MemoryMap.h"
#include "sim/bootloader/Stm32Timing.h"

#include <array>
#include <cstdint>
#include <span>
#include <vector>

class Stm32Memory {
public:
    Stm32Memory();

    // The 96-bit unique ID in the system memory (kDefaultUniqueId until set).
    void setUniqueId(const stm32::UniqueId &id);
    stm32::UniqueId uniqueId() const;

    // Whether [address, address + count) lies inside one memory the host may read / write.
    bool readable(uint32_t address, uint32_t count) const;
    bool writable(uint32_t address, uint32_t count) const;
    static bool inFlash(uint32_t address, uint32_t count);
    static bool inRam(uint32_t address, uint32_t count);

    // Byte at a readable address (the erased value elsewhere).
    uint8_t read(uint32_t address) const;
    // Writes a writable range: RAM directly, flash by programming half-words.
    // False when flash refuses (not erased, odd address); half-words
    // before the refused one stay programmed. `busy` gets the chip time spent.
    bool write(uint32_t address, const uint8_t *data, size_t count, stm32::Micros &busy);

    // False, and the page kept, when the page is write-protected.
    bool erasePage(uint32_t page);
    // Every page, write protection or not, as Readout Unprotect erases them.
    void eraseAll();

    // Read-out protection (the RDP option byte): while set, the bootloader keeps flash to itself.
    bool readProtected() const;
    void setReadProtected(bool on);
    // Write protection of a page (its WRP bit, shared by four pages); a write or
    // erase of a protected page fails.
    bool writeProtected(uint32_t page) const;
    void setWriteProtected(uint32_t page, bool on);
    bool anyWriteProtected() const;
    void clearWriteProtection();

    std::span<const uint8_t> flash() const { return flash_; }
    // Puts bytes into flash as an earlier programming would have (no erase check).
    void preloadFlash(uint32_t address, std::span<const uint8_t> bytes);

private:
    std::vector<uint8_t> flash_;
    std::vector<uint8_t> ram_;
    std::vector<uint8_t> system_;
    std::array<uint8_t, stm32::kOptionBytes> options_{};
};
