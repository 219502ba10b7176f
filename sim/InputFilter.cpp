#include "sim/InputFilter.h"

#include <algorithm>

namespace talvex::sim {

void InputFilter::add(uint16_t conversion)
{
    ring_[static_cast<size_t>(next_)] = conversion;
    next_ = (next_ + 1) % kHistory;
    count_ = std::min(count_ + 1, kHistory);
}

uint16_t InputFilter::value(int level) const
{
    if (count_ == 0)
        return 0;
    const int latest = (next_ + kHistory - 1) % kHistory;
    if (level <= 0)
        return ring_[static_cast<size_t>(latest)];
    level = std::min(level, kMaxLevel);
    const int n = std::min(8 * level, count_);
    std::array<uint16_t, kHistory> window{};
    for (int i = 0; i < n; ++i)
        window[static_cast<size_t>(i)] = ring_[static_cast<size_t>((latest - i + kHistory) % kHistory)];
    std::sort(window.begin(), window.begin() + n);
    const int drop = n / 4;
    const int kept = n - 2 * drop;
    uint32_t sum = 0;
    for (int i = drop; i < drop + kept; ++i)
        sum += window[static_cast<size_t>(i)];
    return static_cast<uint16_t>(sum / static_cast<uint32_t>(kept));
}

}  // namespace talvex::sim
