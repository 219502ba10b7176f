#pragma once
// SIGINT, SIGTERM, SIGHUP (a terminal hung up, a dropped SSH session) and SIGQUIT
// end a command at its next step instead of killing it, so the port is closed
// and the module restarted. Once the command has cleaned up, the program ends by
// that same signal (EndByInterrupt), so the shell or script that ran it sees a
// death by the signal and stops too.
namespace talvex::cli {

void InstallInterruptHandlers();
bool Interrupted();
// The first interrupting signal's number, 0 if none came.
int InterruptSignal();
// The exit status a shell shows for a death by that signal: 128 + its number
// (130 for SIGINT, 129 for SIGHUP, 143 for SIGTERM, 131 for SIGQUIT).
int InterruptStatus();
// After an interrupt: flushes standard output and error, puts the signal's
// default action back and raises it again. Returns only when no interrupt came.
void EndByInterrupt();

// While a sequence that must not stop halfway runs, an interrupt is only noted;
// `message` (a line for standard error) says so the moment it comes. The
// command sees Interrupted() after the sequence.
class InterruptHold {
public:
    explicit InterruptHold(const char *message);
    ~InterruptHold();
    InterruptHold(const InterruptHold &) = delete;
    InterruptHold &operator=(const InterruptHold &) = delete;
};

}  // namespace talvex::cli
