#pragma once
#include <cstdint>

// A 32-bit millisecond tick counter that wraps, like the tick count the
// component's time-outs were designed around. Differences are taken with
// unsigned arithmetic, so a wrap between two readings does no harm.
uint32_t GetTickCount();

// Blocks the calling (GUI) thread; dispatches no events.
void SleepMs(uint32_t ms);
