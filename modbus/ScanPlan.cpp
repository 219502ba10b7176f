#include "modbus/ScanPlan.h"

#include <algorithm>

namespace {

constexpr uint32_t kUsPerMs = 1000;

// `wanted` in its order, or the whole table when it is empty; out-of-range entries and repeats left out.
std::vector<int> Entries(const std::vector<int> &wanted, int first, int last)
{
    std::vector<int> out;
    if (wanted.empty()) {
        for (int i = first; i <= last; ++i)
            out.push_back(i);
        return out;
    }
    for (int v : wanted)
        if (v >= first && v <= last && std::find(out.begin(), out.end(), v) == out.end())
            out.push_back(v);
    return out;
}

// The default line first, then the others in the order of the lists.
std::vector<TModbusLine> Lines(const std::vector<int> &bauds, const std::vector<int> &formats)
{
    std::vector<TModbusLine> lines;
    for (int b : bauds)
        for (int f : formats)
            lines.push_back({b, f});
    std::stable_partition(lines.begin(), lines.end(), [](const TModbusLine &l) { return l == kDefaultModbusLine; });
    return lines;
}

size_t ReplySize(int registers)
{
    return kReadReplyOverhead + 2 * static_cast<size_t>(registers);
}

}  // namespace

std::vector<TProbe> ScanOrder(const TScanRequest &request)
{
    const std::vector<int> stations = Entries(request.Stations, kStationMin, kStationMax);
    const std::vector<int> bauds = Entries(request.Bauds, 0, static_cast<int>(kBaud485Texts.size()) - 1);
    const std::vector<int> formats = Entries(request.Formats, 0, static_cast<int>(kDat485Texts.size()) - 1);
    std::vector<TProbe> order;
    for (const TModbusLine &line : Lines(bauds, formats))
        for (int s : stations)
            order.push_back({s, line});
    // The fixed port answers station 1 only: that question goes first of all.
    const auto fixedPort = std::find(order.begin(), order.end(), TProbe{kStationMin, kDefaultModbusLine});
    std::rotate(order.begin(), fixedPort, fixedPort == order.end() ? fixedPort : fixedPort + 1);
    return order;
}

uint32_t ExchangeWaitMs(TModbusLine line, int replyRegisters, uint32_t turnaroundMs)
{
    const uint32_t us = WireTimeUs(line, kRequestFrameSize) + FrameEndSilenceUs(line) +
                        WireTimeUs(line, ReplySize(replyRegisters));
    return (us + kUsPerMs - 1) / kUsPerMs + turnaroundMs;
}

uint64_t PlannedProbeMs(const TScanRequest &request)
{
    uint64_t ms = 0;
    for (const TProbe &p : ScanOrder(request))
        ms += ProbeWaitMs(p.Line, request.TurnaroundMs);
    return ms;
}

RequestFrame ProbeRequest(int station)
{
    return BuildRequest(static_cast<uint8_t>(station), kFnReadHoldingRegisters, kProbeRegister, kProbeCount);
}

RequestFrame ModuleReadRequest(int station)
{
    return BuildRequest(static_cast<uint8_t>(station), kFnReadHoldingRegisters, kModuleReadFirst, kModuleReadCount);
}

std::vector<TFoundReply> FindReplies(const uint8_t *bytes, size_t count, int registers)
{
    std::vector<TFoundReply> found;
    if (bytes == nullptr || registers < 1 || registers > kModuleReadCount)
        return found;
    const size_t size = ReplySize(registers);
    for (size_t at = 0; at + size <= count; ++at) {
        const uint8_t *r = bytes + at;
        if (r[0] < kStationMin || r[0] > kStationMax || r[1] != kFnReadHoldingRegisters || r[2] != 2 * registers ||
            !CrcMatches(r, size))
            continue;
        TFoundReply reply;
        reply.At = at;
        reply.Station = r[0];
        for (int i = 0; i < registers; ++i)
            reply.Words[static_cast<size_t>(i)] = GetWordBE(r + 3 + 2 * i);
        found.push_back(reply);
        at += size - 1;  // the next reply starts after this one
    }
    return found;
}
