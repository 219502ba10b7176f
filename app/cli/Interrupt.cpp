#include "app/cli/Interrupt.h"

#include <csignal>
#include <cstring>

#include <unistd.h>

namespace talvex::cli {

namespace {

volatile std::sig_atomic_t InterruptSeen = 0;
// Set only outside the handler; the handler reads the pointer and its length.
const char *volatile HoldMessage = nullptr;
volatile size_t HoldMessageLength = 0;

extern "C" void OnInterrupt(int)
{
    InterruptSeen = 1;
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
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // A reader that went away (watch | head) shows as a failed write, which ends
    // the command with the port closed, rather than as a signal that kills it.
    std::signal(SIGPIPE, SIG_IGN);
}

bool Interrupted()
{
    return InterruptSeen != 0;
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
