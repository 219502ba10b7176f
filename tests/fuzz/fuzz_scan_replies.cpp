// What a search for a lost module takes as a module's answer, from whatever the
// line brings: chunks of any bytes gathered as the serial component gathers them
// (the count starts again past 1023), valid replies planted among them, single
// bytes spoiled. Every reply found lies within the bytes, is whole, from a
// station 1 ... 99, to a read of the asked count, with a valid CRC; the replies
// do not overlap; and a planted reply left intact is found unless a reply found
// before it overlaps it.
#include "modbus/ScanPlan.h"
#include "tests/fuzz/FuzzSupport.h"

#include <cstdint>

namespace {

constexpr size_t kBufferSize = 1024;
constexpr int kMaxChunk = 64;

enum Op { kChunk, kPlant, kSpoil, kOps };

std::vector<uint8_t> Reply(uint8_t station, int registers, fuzz::Input &in)
{
    std::vector<uint8_t> r{station, kFnReadHoldingRegisters, static_cast<uint8_t>(2 * registers)};
    for (int i = 0; i < 2 * registers; ++i)
        r.push_back(in.byte());
    r.resize(r.size() + kCrcSize);
    PutCrc(r.data(), r.size() - kCrcSize);
    return r;
}

}  // namespace

int TalvexFuzzOne(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    const int registers = in.flag() ? kProbeCount : kModuleReadCount;
    const size_t replySize = kReadReplyOverhead + 2 * static_cast<size_t>(registers);
    std::vector<uint8_t> buffer;
    // Where the last planted reply starts, while intact; kNone when there is none.
    constexpr size_t kNone = SIZE_MAX;
    size_t planted = kNone;
    while (!in.empty()) {
        std::vector<uint8_t> chunk;
        switch (in.byte() % kOps) {
        case kChunk:
            chunk = in.bytes(static_cast<size_t>(in.range(1, kMaxChunk)));
            break;
        case kPlant:
            chunk = Reply(static_cast<uint8_t>(in.range(kStationMin, kStationMax)), registers, in);
            break;
        case kSpoil:
            if (!buffer.empty()) {
                const size_t at = static_cast<size_t>(in.range(0, static_cast<int>(buffer.size()) - 1));
                const uint8_t mask = static_cast<uint8_t>(in.range(1, 255));
                buffer[at] ^= mask;
                if (planted != kNone && at >= planted && at < planted + replySize)
                    planted = kNone;
            }
            continue;
        }
        // As the serial component appends a chunk: past 1023 bytes it starts again.
        if (buffer.size() + chunk.size() >= kBufferSize) {
            buffer.clear();
            planted = kNone;
        }
        // A chunk that is a valid reply, planted or by chance.
        if (chunk.size() == replySize && chunk[0] >= kStationMin && chunk[0] <= kStationMax &&
            chunk[1] == kFnReadHoldingRegisters && chunk[2] == 2 * registers && CrcMatches(chunk.data(), replySize))
            planted = buffer.size();
        buffer.insert(buffer.end(), chunk.begin(), chunk.end());
    }

    const std::vector<TFoundReply> found = FindReplies(buffer.data(), buffer.size(), registers);
    size_t end = 0;
    bool plantedFound = false;
    for (const TFoundReply &r : found) {
        FUZZ_CHECK(r.At >= end);  // in order, never overlapping
        FUZZ_CHECK(r.At + replySize <= buffer.size());
        const uint8_t *p = buffer.data() + r.At;
        FUZZ_CHECK(p[0] == r.Station && r.Station >= kStationMin && r.Station <= kStationMax);
        FUZZ_CHECK(p[1] == kFnReadHoldingRegisters && p[2] == 2 * registers);
        FUZZ_CHECK(CrcMatches(p, replySize));
        for (int i = 0; i < registers; ++i)
            FUZZ_CHECK(r.Words[static_cast<size_t>(i)] == GetWordBE(p + 3 + 2 * i));
        if (planted != kNone && r.At == planted)
            plantedFound = true;
        // A reply found before the planted one that reaches into it hides it.
        if (planted != kNone && r.At < planted && r.At + replySize > planted)
            planted = kNone;
        end = r.At + replySize;
    }
    if (planted != kNone)
        FUZZ_CHECK(plantedFound);
    return 0;
}
