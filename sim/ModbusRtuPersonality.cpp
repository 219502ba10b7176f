#include "sim/ModbusRtuPersonality.h"

#include "modbus/Frames.h"

#include <algorithm>
#include <string>

namespace talvex::sim {

namespace {
constexpr size_t kReadReplyHeader = 3;  // station, function, byte count
}

void ModbusRtuPersonality::receive(const uint8_t *data, size_t size, uint64_t nowMs, std::vector<LineReply> &out)
{
    idle(nowMs);
    lastByteMs_ = nowMs;
    pending_.insert(pending_.end(), data, data + size);
    if (pending_.size() > kMaxPending)
        discard(pending_.size() - kMaxPending, "flood");
    extractFrames(out);
}

bool ModbusRtuPersonality::runsAt(uint32_t speed) const
{
    if (speeds_.empty())
        return speed == speed_;
    return std::find(speeds_.begin(), speeds_.end(), speed) != speeds_.end();
}

void ModbusRtuPersonality::idle(uint64_t nowMs)
{
    if (!pending_.empty() && nowMs - lastByteMs_ >= kByteGapMs)
        discard(pending_.size(), "byte gap");
}

void ModbusRtuPersonality::reset()
{
    pending_.clear();
}

void ModbusRtuPersonality::discard(size_t count, const char *why)
{
    count = std::min(count, pending_.size());
    logFrame(pending_.data(), count, why);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(count));
}

void ModbusRtuPersonality::extractFrames(std::vector<LineReply> &out)
{
    size_t at = 0;
    while (pending_.size() - at >= kRequestFrameSize) {
        if (!CrcMatches(&pending_[at], kRequestFrameSize)) {
            ++at;
            continue;
        }
        if (at > 0)
            discard(at, "not a frame");
        answer(pending_.data(), out);
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(kRequestFrameSize));
        at = 0;
    }
    // Bytes before the last 7 can no longer start a frame.
    if (at > 0)
        discard(at, "not a frame");
}

void ModbusRtuPersonality::answer(const uint8_t *frame, std::vector<LineReply> &out)
{
    const uint8_t station = frame[0];
    const uint8_t function = frame[1];
    const uint16_t first = GetWordBE(&frame[2]);
    const uint16_t second = GetWordBE(&frame[4]);
    ModbusTarget *target = target_ ? target_->forStation(station) : nullptr;
    if (!target) {
        logFrame(frame, kRequestFrameSize, ("not our station " + std::to_string(station)).c_str());
        return;
    }
    if (function == kFnReadHoldingRegisters) {
        if (second == 0 || second > kMaxReadCount) {
            logFrame(frame, kRequestFrameSize, "count out of range");
            return;
        }
        logFrame(frame, kRequestFrameSize, nullptr);
        std::vector<uint8_t> reply(kReadReplyHeader + 2 * size_t{second} + kCrcSize);
        reply[0] = station;
        reply[1] = function;
        reply[2] = static_cast<uint8_t>(2 * second);
        for (uint32_t i = 0; i < second; ++i)
            PutWordBE(&reply[kReadReplyHeader + 2 * i], target->read(uint32_t{first} + i));
        PutCrc(reply.data(), reply.size() - kCrcSize);
        out.push_back({std::move(reply), [target] { target->replySent(); }});
        return;
    }
    if (function == kFnWriteSingleRegister) {
        logFrame(frame, kRequestFrameSize, nullptr);
        target->write(first, second);
        out.push_back({std::vector<uint8_t>(frame, frame + kRequestFrameSize), [target] { target->replySent(); }});
        return;
    }
    logFrame(frame, kRequestFrameSize, "function not served");
}

void ModbusRtuPersonality::logFrame(const uint8_t *bytes, size_t size, const char *remark)
{
    if (log_ && size > 0)
        log_->frame("rx", bytes, size, remark ? remark : "");
}

}  // namespace talvex::sim
