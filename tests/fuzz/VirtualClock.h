#pragma once
#include <cstdint>

namespace fuzz {
// The harnesses of the tool's code link VirtualClock.cpp in place of the real
// clock: every wait returns at once and only moves this clock on, so a time-out
// that would take seconds costs nothing and every run is the same.
void ResetVirtualClock();
uint32_t VirtualNowMs();
}  // namespace fuzz
