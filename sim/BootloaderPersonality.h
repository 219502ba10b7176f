#pragma once
#include "sim/FrameLog.h"
#include "sim/LinePersonality.h"
#include "sim/bootloader/Stm32Bootloader.h"

namespace talvex::sim {

// The module's microcontroller in its serial bootloader, as the line sees it at
// 115200 baud. A pty carries no DTR/RTS, so the reset into the bootloader that
// a host makes with them is read from the line instead: a sync byte after a
// pause of a host's line sequence starts the chip afresh.
class BootloaderPersonality : public LinePersonality {
public:
    static constexpr uint32_t kLineSpeed = 115200;
    // The window's DTR/RTS sequence takes a second, talvex-cli's two waits of
    // --entry-ms (50 ms by default); within a session no host pauses before a sync byte.
    static constexpr uint64_t kResetPauseMs = 80;

    const char *name() const override { return "bootloader"; }
    uint32_t lineSpeed() const override { return kLineSpeed; }
    void receive(const uint8_t *data, size_t size, uint64_t nowMs, std::vector<LineReply> &out) override;
    void receiveAt(const uint8_t *data, size_t size, uint64_t nowUs, std::vector<LineReply> &out) override;
    void idle(uint64_t) override {}
    void reset() override;

    // Realistic mode: every answer leaves after the line time of the bytes
    // exchanged and the chip's own erase and programming times.
    void setRealistic(bool on) { realistic_ = on; }
    // Where the host's bytes are recorded as they arrive (none: not recorded).
    void setLog(FrameLog *log) { log_ = log; }
    // Blocks written since the module last ran its program.
    int blocksSinceModule() const { return blocks_; }
    void moduleStarted() { blocks_ = 0; }

    // Another board's chip in this one's place (see Stm32Bootloader::replaceChip).
    void newBoard(const stm32::UniqueId &id);

    Stm32Bootloader &chip() { return chip_; }

private:
    Stm32Bootloader chip_;
    bool realistic_ = false;
    FrameLog *log_ = nullptr;
    // When the last host byte received so far has crossed the wire, in microseconds.
    uint64_t lineFreeUs_ = 0;
    uint64_t lastByteMs_ = 0;
    bool seenBytes_ = false;
    int blocks_ = 0;
};

}  // namespace talvex::sim
