#pragma once
// SIGINT and SIGTERM end a command at its next step instead of killing it, so
// the port is closed and a watch ends with status 0.
namespace talvex::cli {

void InstallInterruptHandlers();
bool Interrupted();

} // namespace talvex::cli
