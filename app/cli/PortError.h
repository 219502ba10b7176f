#pragma once
// The one place that words a port that would not open, for every command.
#include "Output.h"
#include "Port.h"

#include <QJsonObject>

namespace talvex::cli {

// "cannot open COM3 (/dev/ttyUSB0): ..." with exit status 3 and stage "port";
// `record` is the command's record for the log.
int FailPortOpen(Output &out, const PortTarget &port, const QJsonObject &record = {});

} // namespace talvex::cli
