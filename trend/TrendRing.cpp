#include "trend/TrendRing.h"

#include <algorithm>

TTrendRing::TTrendRing(size_t capacity) : capacity_(std::max<size_t>(capacity, 1))
{
}

void TTrendRing::Append(const TTrendSample &sample)
{
    if (samples_.size() < capacity_) {
        samples_.push_back(sample);
        size_ = samples_.size();
        return;
    }
    samples_[head_] = sample;
    head_ = (head_ + 1) % capacity_;
}

void TTrendRing::Clear()
{
    samples_.clear();
    head_ = 0;
    size_ = 0;
}

const TTrendSample &TTrendRing::At(size_t i) const
{
    return samples_[(head_ + i) % samples_.size()];
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
