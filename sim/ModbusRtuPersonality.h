#pragma once
#include "sim/FrameLog.h"
#include "sim/LinePersonality.h"
#include "sim/ModbusTarget.h"

#include <vector>

namespace talvex::sim {

// The module's Modbus RTU service: functions 3 and 6 only, silence for
// everything else (other station, bad CRC, other function, broadcast), the
// exact echo for a write, and a 100 ms gap that discards a partial frame.
// Every request of the two functions is 8 bytes, so frames are found by length
// and CRC; after garbage the search slides on byte by byte.
class ModbusRtuPersonality final : public LinePersonality {
public:
    static constexpr uint32_t kByteGapMs = 100;
    static constexpr size_t kMaxPending = 256;      // a flood cannot grow the buffer past this
    static constexpr uint16_t kMaxReadCount = 125;  // the largest read that fits a reply frame

    ModbusRtuPersonality(ModbusTarget *target, uint32_t speed, FrameLog *log = nullptr)
        : target_(target), speed_(speed), log_(log)
    {
    }

    const char *name() const override { return "Modbus RTU"; }
    uint32_t lineSpeed() const override { return speed_; }
    bool runsAt(uint32_t speed) const override;
    void receive(const uint8_t *data, size_t size, uint64_t nowMs, std::vector<LineReply> &out) override;
    void idle(uint64_t nowMs) override;
    void reset() override;

    void setTarget(ModbusTarget *target) { target_ = target; }
    // The RS-485 port runs at the speed register 23 gave it at the last start.
    void setLineSpeed(uint32_t speed)
    {
        speed_ = speed;
        speeds_.clear();
    }
    // Modules on one bus may each run their own speed: the service takes every one of them.
    void setLineSpeeds(const std::vector<uint32_t> &speeds)
    {
        speeds_ = speeds;
        speed_ = speeds.empty() ? speed_ : speeds.front();
    }
    size_t pendingBytes() const { return pending_.size(); }

private:
    void extractFrames(std::vector<LineReply> &out);
    void answer(const uint8_t *frame, std::vector<LineReply> &out);
    void discard(size_t count, const char *why);
    void logFrame(const uint8_t *bytes, size_t size, const char *remark);

    ModbusTarget *target_;
    uint32_t speed_;
    std::vector<uint32_t> speeds_;
    FrameLog *log_;
    std::vector<uint8_t> pending_;
    uint64_t lastByteMs_ = 0;
};

}  // namespace talvex::sim
