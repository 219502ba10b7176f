// CPU time of this process, to show that a wait does not spin.
#pragma once

#include <ctime>

// User and system CPU seconds this process has used so far.
inline double ProcessCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}
