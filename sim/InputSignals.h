#pragma once
#include <cstdint>

namespace talvex::sim {

// Eight slow, distinct test signals with a little noise, so a watcher sees the
// inputs move and can tell the channels apart. Deterministic for a given seed.
class InputSignals {
public:
    explicit InputSignals(uint32_t seed = 1) : noiseState_(seed ? seed : 1) {}
    // One 12-bit conversion of channel `channel` (0 ... 7) at time `ms`.
    uint16_t convert(int channel, uint64_t ms);

private:
    int noise();
    uint32_t noiseState_;
};

}  // namespace talvex::sim
