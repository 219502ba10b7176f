#include "sim/Faults.h"

#include <algorithm>

namespace talvex::sim {

namespace {
constexpr uint8_t kCrcSpoiler = 0xFF;  // flips every bit of the CRC's low byte
}

std::string FaultPlan::describe() const
{
    std::string s;
    if (silent)
        s += " silent";
    if (dropEvery)
        s += " drop=" + std::to_string(dropEvery);
    if (corruptEvery)
        s += " corrupt=" + std::to_string(corruptEvery);
    if (noiseBytes)
        s += " noise=" + std::to_string(noiseBytes);
    if (delayMs)
        s += " delay=" + std::to_string(delayMs);
    return s.empty() ? "none" : s.substr(1);
}

void FaultInjector::setPlan(const FaultPlan &plan)
{
    plan_ = plan;
    plan_.noiseBytes = std::min(plan_.noiseBytes, kMaxNoiseBytes);
    plan_.delayMs = std::min(plan_.delayMs, kMaxDelayMs);
    replies_ = 0;
}

uint8_t FaultInjector::noise()
{
    noiseState_ ^= noiseState_ << 13;
    noiseState_ ^= noiseState_ >> 17;
    noiseState_ ^= noiseState_ << 5;
    return static_cast<uint8_t>(noiseState_);
}

bool FaultInjector::apply(std::vector<uint8_t> &bytes, std::string &remark)
{
    if (plan_.silent) {
        remark = "fault: silent";
        return false;
    }
    ++replies_;
    if (plan_.dropEvery && replies_ % plan_.dropEvery == 0) {
        remark = "fault: dropped";
        return false;
    }
    if (plan_.corruptEvery && replies_ % plan_.corruptEvery == 0 && bytes.size() >= 2) {
        bytes[bytes.size() - 2] ^= kCrcSpoiler;
        remark = "fault: bad CRC";
    }
    if (plan_.noiseBytes) {
        std::vector<uint8_t> prefix(plan_.noiseBytes);
        std::generate(prefix.begin(), prefix.end(), [this] { return noise(); });
        bytes.insert(bytes.begin(), prefix.begin(), prefix.end());
        remark += remark.empty() ? "fault: noise" : ", noise";
    }
    return true;
}

}  // namespace talvex::sim
