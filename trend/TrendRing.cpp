#include "trend/TrendRing.h"

#include <algorithm>

// The whole ring is taken (and its pages touched) at once: the memory the window
// holds is the same after a minute as after a day.
TTrendRing::TTrendRing(size_t capacity) : samples_(std::max<size_t>(capacity, 1)), capacity_(samples_.size())
{
}

void TTrendRing::Append(const TTrendSample &sample)
{
    if (size_ < capacity_) {
        samples_[(head_ + size_) % capacity_] = sample;
        ++size_;
        return;
    }
    samples_[head_] = sample;
    head_ = (head_ + 1) % capacity_;
}

void TTrendRing::Clear()
{
    head_ = 0;
    size_ = 0;
}

const TTrendSample &TTrendRing::At(size_t i) const
{
    return samples_[(head_ + i) % capacity_];
}

size_t TTrendRing::FirstAtOrAfter(int64_t timeMs) const
{
    size_t lo = 0, hi = size_;
    while (lo < hi) {
        const size_t mid = (lo + hi) / 2;
        if (At(mid).TimeMs < timeMs)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}
