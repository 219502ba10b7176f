#include "sim/LineScheduler.h"

#include <algorithm>

namespace talvex::sim {

void LineScheduler::restart(uint64_t nowMs)
{
    replies_.clear();
    nextPassMs_ = nowMs;
}

LineScheduler::Reply LineScheduler::takeReply()
{
    Reply r = std::move(replies_.front());
    replies_.pop_front();
    return r;
}

uint64_t LineScheduler::nextDueUs() const
{
    const uint64_t pass = nextPassMs_ * 1000;
    return replies_.empty() ? pass : std::min(pass, replies_.front().dueUs);
}

}  // namespace talvex::sim
