// GetTickCount() and SleepMs() of serial/Clock.h on a clock that only waits move.
// The executable's own definitions win over the archive member of the real
// clock (serial/Clock.cpp in talvex_serial), which the linker then never pulls in.
#include "tests/fuzz/VirtualClock.h"
#include "serial/Clock.h"

namespace {
uint32_t Now = 0;
}

uint32_t GetTickCount()
{
    return Now;
}

void SleepMs(uint32_t ms)
{
    Now += ms;
}

namespace fuzz {
void ResetVirtualClock()
{
    Now = 0;
}
uint32_t VirtualNowMs()
{
    return Now;
}
}  // namespace fuzz
