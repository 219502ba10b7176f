#pragma once
#include <QStringList>

namespace talvex::cli {

// Runs talvex-cli with `args` (the arguments after the program name) on the
// running QCoreApplication and returns the exit status.
int RunCli(const QStringList &args);

}  // namespace talvex::cli
