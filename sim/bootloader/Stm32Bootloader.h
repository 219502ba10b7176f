#pragma once
// The system bootloader of the module's microcontroller, as a byte-in, byte-out
// engine: what the chip answers to the bytes a host sends over the USART.
// No threads and no I/O here; the simulator carries the bytes.
#include "firmware/stm32/Stm32Protocol.h"
#include "sim/bootloader/Stm32Memory.h"
#include "sim/bootloader/Stm32Timing.h"

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

// Bytes the chip sends at once, after working for chipTime since the last
// host byte it needed (the line time is the runner's business).
struct Stm32Answer {
    stm32::Micros chipTime{0};
    std::vector<uint8_t> bytes;
};

// One exchange as the chip saw it, for tests.
struct Stm32LogEntry {
    uint8_t command = 0;           // command code; stm32::kSync for the sync byte
    std::vector<uint8_t> payload;  // host bytes after the code and its complement
    uint32_t address = 0;          // the address sent, for Read, Write and Go
    bool accepted = false;         // the last answer was an ACK
};

// Where an acknowledgement falls: `command` (stm32::kSync for the sync byte) and
// `phase`, 0 for the ACK of the command itself, 1 and 2 for the later ones (the
// address, then the count or data; the page list of an erase is phase 1).
struct Stm32AckPoint {
    uint8_t command = 0;
    int phase = 0;
};

// Misbehaviour on demand. Each fault is used up and the chip then behaves again,
// so a host that retries can still finish.
struct Stm32Faults {
    static constexpr int kForever = -1;  // for unansweredSyncs: never answer
    int unansweredSyncs = 0;             // sync bytes that get no answer at all
    Stm32AckPoint nackAt;                // this acknowledgement becomes a NACK ...
    int nackTimes = 0;                   // ... this many times
    int silentAfterBlocks = -1;  // after this many acknowledged write blocks the chip answers nothing until reset
    uint32_t flipAddress = 0;    // the next write over this flash address stores its byte ...
    uint8_t flipMask = 0;        // ... XOR this mask, and is acknowledged all the same
};

class Stm32Bootloader {
public:
    Stm32Bootloader();

    // Hands the chip the next host bytes; returns everything it answers.
    std::vector<uint8_t> feed(const uint8_t *bytes, size_t count);
    std::vector<uint8_t> feed(const std::vector<uint8_t> &bytes) { return feed(bytes.data(), bytes.size()); }
    // The same, keeping apart the answers and the chip time before each.
    std::vector<Stm32Answer> feedTimed(const uint8_t *bytes, size_t count);

    // Reset with the boot pin high: waits for the sync byte again. Flash and RAM
    // keep their content; a silence fault ends.
    void reset();

    // Another chip in this one's place, as a board swapped on a fixture brings:
    // memories as shipped with `id` as its unique ID, no fault, no log, waiting
    // for the sync byte. What the host set (product ID, callbacks) stays.
    void replaceChip(const stm32::UniqueId &id);
    void setUniqueId(const stm32::UniqueId &id) { memory_.setUniqueId(id); }
    stm32::UniqueId uniqueId() const { return memory_.uniqueId(); }

    bool synced() const { return phase_ != Phase::WaitSync; }
    bool started() const { return phase_ == Phase::Started; }

    // Read-out protection: Get, Get Version, Get ID and Readout Unprotect still
    // answer, every other command is refused with a NACK and changes nothing.
    bool readProtected() const { return memory_.readProtected(); }
    void setReadProtected(bool on) { memory_.setReadProtected(on); }
    // Write protection of the four-page group that holds `page`.
    void setWriteProtected(uint32_t page, bool on) { memory_.setWriteProtected(page, on); }
    // The product ID Get ID answers (the module's family by default).
    void setProductId(uint16_t id) { productId_ = id; }
    uint16_t productId() const { return productId_; }

    // Main flash, byte 0 at stm32::kFlashBase.
    std::span<const uint8_t> flash() const { return memory_.flash(); }
    // Puts bytes into flash as an earlier programming would have (no erase check).
    void preloadFlash(uint32_t address, std::span<const uint8_t> bytes) { memory_.preloadFlash(address, bytes); }
    const Stm32Memory &memory() const { return memory_; }

    const std::vector<Stm32LogEntry> &log() const { return log_; }
    void clearLog() { log_.clear(); }
    int blocksWritten() const { return blocksWritten_; }

    void setFaults(const Stm32Faults &faults) { faults_ = faults; }
    const Stm32Faults &faults() const { return faults_; }

    // Called when a Go command hands the chip to the program at `address`; the
    // engine then ignores bytes until reset().
    void setOnGo(std::function<void(uint32_t address)> onGo) { onGo_ = std::move(onGo); }
    // Called when the chip has erased all of its flash (Readout Unprotect): the
    // pages where the module keeps its settings are gone too.
    void setOnFlashErased(std::function<void()> onErased) { onErased_ = std::move(onErased); }
    // Times the chip restarted itself after changing its option bytes.
    int restarts() const { return restarts_; }

    // Chip time of erasing `pages` pages, and of programming `bytes` bytes of flash.
    static stm32::Micros eraseTime(size_t pages);
    static stm32::Micros programTime(size_t bytes);

private:
    enum class Phase { WaitSync, Command, Address, ReadCount, WriteData, EraseList, Started, Silent };

    void step(uint8_t byte);
    size_t awaited() const;
    void complete();
    void onCommand(uint8_t code, uint8_t complement);
    void onAddress();
    void onReadCount();
    void onWriteData();
    void onEraseList();
    // The protection commands: ACK, the option bytes changed, ACK, then a restart.
    void onOptionCommand(uint8_t code);
    // The commands a read-protected chip still answers.
    static bool allowedWhenProtected(uint8_t code);

    bool faultNack(uint8_t command, int phase);
    void answer(std::vector<uint8_t> bytes, stm32::Micros chipTime = stm32::Micros{0});
    void finish(bool accepted);

    Phase phase_ = Phase::WaitSync;
    uint8_t command_ = 0;
    uint32_t address_ = 0;
    std::vector<uint8_t> pending_;  // bytes of the current phase
    Stm32LogEntry current_;

    Stm32Memory memory_;

    std::vector<Stm32LogEntry> log_;
    std::vector<Stm32Answer> out_;
    Stm32Faults faults_;
    int blocksWritten_ = 0;
    std::function<void(uint32_t)> onGo_;
    std::function<void()> onErased_;
    uint16_t productId_ = uint16_t(stm32::kProductIdHigh << 8 | stm32::kProductIdLow);
    int restarts_ = 0;
};
