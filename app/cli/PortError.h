#pragma once
// The one place that words a port that failed, for every command.
#include "app/cli/Output.h"
#include "app/cli/Port.h"

#include <QJsonObject>

namespace talvex::cli {

// "cannot open COM3 (/dev/ttyUSB0): <the cause>" with exit status 3 and stage
// "port"; `record` is the command's record for the log.
int FailPortOpen(Output &out, const PortTarget &port, PortFault fault, int errorNumber, const QJsonObject &record = {});
// "COM3 (/dev/ttyUSB0): adapter removed" and what it left behind, exit status 3.
int FailAdapterRemoved(Output &out, const PortTarget &port, const QString &stage, const QString &consequence = {},
                       const QJsonObject &record = {});

}  // namespace talvex::cli
