#pragma once
// The trend's memory: the last samples of every channel, one sample per
// successful read, in a ring of fixed capacity. Once full, each new sample
// takes the place of the oldest, so memory stays flat however long the poll runs.
#include "trend/TrendChannels.h"

#include <cstddef>
#include <cstdint>
#include <vector>

struct TTrendSample {
    int64_t TimeMs = 0;  // milliseconds since the epoch, UTC
    TChannelValues Values{};
};

class TTrendRing {
public:
    explicit TTrendRing(size_t capacity);

    void Append(const TTrendSample &sample);
    void Clear();
    size_t Size() const { return size_; }
    size_t Capacity() const { return capacity_; }
    // i = 0 is the oldest sample held.
    const TTrendSample &At(size_t i) const;
    const TTrendSample &Newest() const { return At(size_ - 1); }
    // The index of the first sample at or after `timeMs` (Size() if none); times only grow.
    size_t FirstAtOrAfter(int64_t timeMs) const;

private:
    std::vector<TTrendSample> samples_;  // capacity_ samples from the start
    size_t capacity_;
    size_t head_ = 0;  // where the oldest sample is
    size_t size_ = 0;
};
