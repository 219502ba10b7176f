#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace talvex::sim {

// Line faults the tool's tests ask for. Zero turns a fault off.
struct FaultPlan {
    bool silent = false;        // answer nothing at all
    uint32_t dropEvery = 0;     // leave out every Nth reply
    uint32_t corruptEvery = 0;  // spoil the CRC of every Nth reply
    uint32_t noiseBytes = 0;    // put this many noise bytes before every reply
    uint32_t delayMs = 0;       // answer this much later

    std::string describe() const;
};

// Applies a FaultPlan to the replies in the order they are made. The reply
// count starts again whenever the plan changes, so "every 2nd" means the 2nd,
// 4th, ... reply after the command.
class FaultInjector {
public:
    static constexpr uint32_t kMaxNoiseBytes = 64;
    static constexpr uint32_t kMaxDelayMs = 60000;

    void setPlan(const FaultPlan &plan);
    const FaultPlan &plan() const { return plan_; }

    // False when the reply must not be sent; otherwise `bytes` is what goes on the line.
    bool apply(std::vector<uint8_t> &bytes, std::string &remark);

private:
    uint8_t noise();

    FaultPlan plan_;
    uint64_t replies_ = 0;
    uint32_t noiseState_ = 0x2545F491;
};

}  // namespace talvex::sim
