#include "tests/support/ChildProcess.h"

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

void EndWithParent(QProcess &process)
{
    const pid_t parent = getpid();
    process.setChildProcessModifier([parent] {
        // Runs in the child between fork and exec: only async-signal-safe calls.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        // The parent may have gone before the request was made.
        if (getppid() != parent)
            _exit(1);
    });
}
