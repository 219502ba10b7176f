#pragma once
// talvex-cli doctor: the faults of a Linux system that keep a USB serial adapter
// from working for this user and that no error message names. Each finding is
// one line: what was found, and a command that mends it.
#include "app/cli/Options.h"
#include "app/cli/Output.h"
#include "app/cli/Port.h"
#include "app/cli/SystemView.h"

#include <QList>
#include <QString>

namespace talvex::cli {

struct Finding {
    QString check;   // "group", "session", "brltty", "modem-manager", "latency", "held", "absent"
    QString device;  // the device it concerns; empty for the whole system
    QString found;   // what is wrong, in one sentence
    QString fix;     // a command to copy
    QString mark;    // the short form `ports` shows beside the device
};

// What stands in the way of `node` for this user.
QList<Finding> DeviceFindings(const SystemView &system, const DeviceNode &node);
// The findings' short forms for `ports`, with the braille daemon's where it
// claims the device's chip.
QStringList PortMarks(const SystemView &system, const DeviceNode &node);
// What stands in the way of every adapter of some kinds (the braille daemon).
QList<Finding> SystemFindings(const SystemView &system);

// Checks the port given with -p, or every present device a COM name or a by-id
// link leads to. Exit status 0 when nothing is wrong, 1 otherwise.
int RunDoctor(const Options &o, const PortTarget &port, Output &out);

}  // namespace talvex::cli
