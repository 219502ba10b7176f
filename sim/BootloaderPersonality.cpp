#include "BootloaderPersonality.h"

#include "Stm32Protocol.h"

namespace talvex::sim {

void BootloaderPersonality::reset()
{
    chip_.reset();
    seenBytes_ = false;
}

void BootloaderPersonality::receive(const uint8_t *data, size_t size, uint64_t nowMs, std::vector<LineReply> &out)
{
    if (size == 0)
        return;
    if (seenBytes_ && nowMs - lastByteMs_ >= kResetPauseMs && data[0] == stm32::kSync)
        chip_.reset();
    seenBytes_ = true;
    lastByteMs_ = nowMs;

    const int blocksBefore = chip_.blocksWritten();
    std::vector<Stm32Answer> answers = chip_.feedTimed(data, size);
    blocks_ += chip_.blocksWritten() - blocksBefore;
    // The host's bytes took their line time to arrive; the chip then works, then answers.
    stm32::Micros elapsed = realistic_ ? stm32::WireTime(size, kLineSpeed) : stm32::Micros{0};
    for (Stm32Answer &a : answers) {
        if (realistic_)
            elapsed += a.chipTime + stm32::WireTime(a.bytes.size(), kLineSpeed);
        LineReply reply;
        reply.bytes = std::move(a.bytes);
        reply.delayUs = static_cast<uint64_t>(elapsed.count());
        out.push_back(std::move(reply));
    }
}

} // namespace talvex::sim
