// talvex-cli: the module's reads, writes, configuration and firmware update from a shell.
#include "app/cli/Cli.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    return talvex::cli::RunCli(app.arguments().mid(1));
}
