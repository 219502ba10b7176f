#pragma once
#include "sim/UsbAdapterModel.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace talvex::sim {

class PtyLink;

// The tool's end of the module's line: what reaches the tool and when. The echo
// of a 2-wire adapter that hears itself, a USB adapter's packets and the line's
// pace behind it, and the writes into the pty. Reads no clock: callers hand in
// the time, in microseconds.
class ToolPort {
public:
    explicit ToolPort(const PtyLink &pty) : pty_(pty) {}

    // The line hands the tool's bytes back to it before any reply.
    void setEcho(bool on) { echo_ = on; }
    bool echo() const { return echo_; }
    // A USB adapter's latency timer between the line and the tool; 0 for none.
    void setLatencyTimerMs(uint32_t ms) { adapter_.setLatencyMs(ms); }
    bool hasAdapter() const { return adapter_.enabled(); }
    uint32_t latencyTimerMs() const { return adapter_.latencyMs(); }
    // The speed the tool last set, which paces the line; 0 before any.
    void setLineSpeed(uint32_t baud) { speed_ = baud; }

    // The tool's bytes heard on the line at `atUs`: echoed back, or the line busy for their time.
    void heard(const uint8_t *data, size_t size, uint64_t atUs, uint64_t nowUs);
    // Bytes for the tool that leave at `startUs`, or when the line is next free.
    void send(const std::vector<uint8_t> &bytes, uint64_t startUs, uint64_t nowUs);
    // A reply due at `dueUs`: how many of its bytes went (all of them, through an adapter).
    size_t deliver(const std::vector<uint8_t> &bytes, uint64_t dueUs, uint64_t nowUs);
    // The adapter's packets due by now.
    void flush(uint64_t nowUs);
    // When the adapter's next packet is due; UsbAdapterModel::kNothingDue without one.
    uint64_t nextDueUs() const;

private:
    // Puts bytes on the tool's side of the pty; returns how many went.
    size_t write(const std::vector<uint8_t> &bytes);
    // One character's time on the line at the speed the tool set (11 bits).
    uint64_t charTimeUs() const;

    const PtyLink &pty_;
    bool echo_ = false;
    UsbAdapterModel adapter_;
    uint32_t speed_ = 0;
    uint64_t lineFreeUs_ = 0;  // with an adapter: when the line is next free
};

}  // namespace talvex::sim
