#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace talvex::sim {

// A USB serial adapter between the module's line and the tool. Bytes from the
// line reach the tool in packets: as soon as 62 are waiting (a full USB packet
// less its two status bytes), or when the latency timer runs out N ms after the
// last byte arrived. Time is passed in, so the model itself never waits.
class UsbAdapterModel {
public:
    static constexpr size_t kPacketBytes = 62;
    static constexpr uint64_t kNothingDue = UINT64_MAX;

    explicit UsbAdapterModel(uint32_t latencyMs = 0) : latencyUs_(uint64_t(latencyMs) * 1000) {}

    // Zero: no adapter, bytes reach the tool as they arrive.
    bool enabled() const { return latencyUs_ != 0; }
    void setLatencyMs(uint32_t ms) { latencyUs_ = uint64_t(ms) * 1000; }
    uint32_t latencyMs() const { return static_cast<uint32_t>(latencyUs_ / 1000); }

    // Bytes from the line: the first arrives at startUs, then one every byteUs.
    // Arrivals never go back in time; a start before the last arrival waits for it.
    void arrive(const std::vector<uint8_t> &bytes, uint64_t startUs, uint64_t byteUs);
    // The packets due by nowUs, in order, as one run of bytes.
    std::vector<uint8_t> take(uint64_t nowUs);
    // When the next packet goes to the tool; kNothingDue when nothing waits.
    uint64_t nextDueUs() const;
    // When the last byte waiting arrives (0 when none waits).
    uint64_t lastArrivalUs() const { return waiting_.empty() ? 0 : waiting_.back().atUs; }

private:
    // Bytes in the next packet and when it leaves.
    size_t nextPacket(uint64_t &dueUs) const;

    struct Byte {
        uint64_t atUs;
        uint8_t value;
    };
    std::deque<Byte> waiting_;
    uint64_t latencyUs_;
};

}  // namespace talvex::sim
