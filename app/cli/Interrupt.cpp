#include "app/cli/Interrupt.h"

#include "app/cli/Options.h"

#include <csignal>
#include <cstdio>
#include <cstring>

#include <unistd.h>

namespace talvex::cli {

namespace {

volatile std::sig_atomic_t InterruptSeen = 0;  // the first interrupting signal
constexpr int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
// Set only outside the handler; the handler reads the pointer and its length.
const char *volatile HoldMessage = nullptr;
volatile size_t HoldMessageLength = 0;

extern "C" void OnInterrupt(int signal)
{
    if (InterruptSeen == 0)
        InterruptSeen = signal;
    if (const char *message = HoldMessage) {
        // write() is safe in a handler; what it returns changes nothing here.
        [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, message, HoldMessageLength);
    }
}

}  // namespace

void InstallInterruptHandlers()
{
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    for (const int signal : kInterruptSignals)
        sigaddset(&sa.sa_mask, signal);
    for (const int signal : kInterruptSignals)
        sigaction(signal, &sa, nullptr);
    // A reader that went away (watch | head) shows as a failed write, which ends
    // the command with the port closed, rather than as a signal that kills it.
    std::signal(SIGPIPE, SIG_IGN);
}

bool Interrupted()
{
    return InterruptSeen != 0;
}

int InterruptSignal()
{
    return InterruptSeen;
}

int InterruptStatus()
{
    return kExitSignalBase + (InterruptSeen != 0 ? int(InterruptSeen) : SIGINT);
}

void EndByInterrupt()
{
    const int signal = InterruptSeen;
    if (signal == 0)
        return;
    std::fflush(nullptr);
    struct sigaction sa {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    sigaction(signal, &sa, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    std::raise(signal);
}

InterruptHold::InterruptHold(const char *message)
{
    HoldMessageLength = std::strlen(message);
    HoldMessage = message;
}

InterruptHold::~InterruptHold()
{
    HoldMessage = nullptr;
}

}  // namespace talvex::cli
