#pragma once
// SIGINT and SIGTERM end a command at its next step instead of killing it, so
// the port is closed and a watch ends with status 0.
namespace talvex::cli {

void InstallInterruptHandlers();
bool Interrupted();

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
