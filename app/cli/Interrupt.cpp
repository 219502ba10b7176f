#include "Interrupt.h"

#include <csignal>

namespace talvex::cli {

namespace {

volatile std::sig_atomic_t InterruptSeen = 0;

extern "C" void OnInterrupt(int)
{
    InterruptSeen = 1;
}

} // namespace

void InstallInterruptHandlers()
{
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

bool Interrupted()
{
    return InterruptSeen != 0;
}

} // namespace talvex::cli
