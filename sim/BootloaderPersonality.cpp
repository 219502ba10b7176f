#include "sim/BootloaderPersonality.h"

#include "firmware/stm32/Stm32Protocol.h"

#include <algorithm>

namespace talvex::sim {

void BootloaderPersonality::reset()
{
    chip_.reset();
    seenBytes_ = false;
}

void BootloaderPersonality::newBoard(const stm32::UniqueId &id)
{
    chip_.replaceChip(id);
    blocks_ = 0;
    reset();
}

void BootloaderPersonality::receive(const uint8_t *data, size_t size, uint64_t nowMs, std::vector<LineReply> &out)
{
    receiveAt(data, size, nowMs * 1000, out);
}

void BootloaderPersonality::receiveAt(const uint8_t *data, size_t size, uint64_t nowUs, std::vector<LineReply> &out)
{
    if (size == 0)
        return;
    const uint64_t nowMs = nowUs / 1000;
    if (seenBytes_ && nowMs - lastByteMs_ >= kResetPauseMs && data[0] == stm32::kSync)
        chip_.reset();
    seenBytes_ = true;
    lastByteMs_ = nowMs;
    if (log_)
        log_->frame("rx", data, size);

    const int blocksBefore = chip_.blocksWritten();
    std::vector<Stm32Answer> answers = chip_.feedTimed(data, size);
    blocks_ += chip_.blocksWritten() - blocksBefore;
    // A pty hands over a host's bytes at once and in chunks of any size; on the
    // wire they follow each other, so a chunk starts crossing only when the one
    // before has. The chip answers once the last byte is in, then works, then
    // its answer takes its own line time.
    uint64_t at = nowUs;
    if (realistic_) {
        lineFreeUs_ = std::max(lineFreeUs_, nowUs) + uint64_t(stm32::WireTime(size, kLineSpeed).count());
        at = lineFreeUs_;
    }
    for (Stm32Answer &a : answers) {
        if (realistic_)
            at += uint64_t((a.chipTime + stm32::WireTime(a.bytes.size(), kLineSpeed)).count());
        LineReply reply;
        reply.bytes = std::move(a.bytes);
        reply.delayUs = at - nowUs;
        out.push_back(std::move(reply));
    }
}

}  // namespace talvex::sim
