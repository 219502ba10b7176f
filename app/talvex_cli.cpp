// talvex-cli: the module's reads, writes, configuration and firmware update from a shell.
#include "app/cli/Cli.h"
#include "app/cli/Interrupt.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    int status = 0;
    {
        QCoreApplication app(argc, argv);
        status = talvex::cli::RunCli(app.arguments().mid(1));
    }
    // Cleaned up (port closed, module restarted, record written): a caller's
    // script learns of the interrupt as a death by its signal.
    talvex::cli::EndByInterrupt();
    return status;
}
