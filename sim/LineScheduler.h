#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

namespace talvex::sim {

// When the module's passes run and when its replies leave. Holds no descriptor
// and reads no clock: callers hand in the time, so every rule can be driven on
// a hand-made clock. Passes are in milliseconds, replies in microseconds (an
// answer paced to the line is due to the microsecond).
class LineScheduler {
public:
    // After a stall, at most this many passes catch up; then the schedule skips ahead.
    static constexpr int kMaxCatchUpPasses = 100;

    struct Reply {
        uint64_t dueUs;
        std::vector<uint8_t> bytes;
        std::function<void()> sent;  // when all of it went out
    };

    explicit LineScheduler(uint64_t passMs) : passMs_(passMs) {}

    // A module start: the first pass is due now, no reply is owed.
    void restart(uint64_t nowMs);

    // Runs pass(t) for each pass due by nowMs, at the time it was due.
    template <typename Pass>
    void runPasses(uint64_t nowMs, Pass &&pass)
    {
        int passes = 0;
        while (nextPassMs_ <= nowMs && passes < kMaxCatchUpPasses) {
            pass(nextPassMs_);
            nextPassMs_ += passMs_;
            ++passes;
        }
        if (nextPassMs_ <= nowMs)
            nextPassMs_ = nowMs + passMs_;
    }

    // Replies leave in the order they were queued: a later one waits for an earlier
    // one that is due later.
    void queue(Reply reply) { replies_.push_back(std::move(reply)); }
    bool hasReply() const { return !replies_.empty(); }
    bool replyDue(uint64_t nowUs) const { return !replies_.empty() && replies_.front().dueUs <= nowUs; }
    // The reply next in line; only when hasReply().
    Reply takeReply();

    // When the next pass or reply is due.
    uint64_t nextDueUs() const;

private:
    uint64_t passMs_;
    uint64_t nextPassMs_ = 0;
    std::deque<Reply> replies_;
};

}  // namespace talvex::sim
