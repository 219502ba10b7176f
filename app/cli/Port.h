#pragma once
// Which serial device a -p argument names.
#include "serial/SerialPort.h"

#include <QString>

#include <string>

namespace talvex::cli {

struct PortTarget {
    int comIndex = -1;   // 0 ... 7 for COM1 ... COM8, -1 for a device path
    std::string device;  // what opening it opens (TALVEX_PORT_DIR applied to a COM name)
    QString name;        // as the user gave it, for messages
};

// "COM1" ... "COM8" (any case), resolved as the window resolves them, or a
// device path (anything with a '/'). False for anything else.
bool ResolvePort(const QString &name, PortTarget &target);

// The group that owns a device (dialout on Debian, uucp elsewhere); dialout when it cannot be told.
QString DeviceGroup(const std::string &device);
// Why a port failed, in the words a user can act on; `device` names the group to join.
QString PortFaultReason(PortFault fault, int errorNumber, const std::string &device = {});
// "cannot open COM3 (/dev/ttyUSB0): <reason>".
QString CannotOpen(const PortTarget &port, PortFault fault, int errorNumber);
// "COM3 (/dev/ttyUSB0): adapter removed".
QString AdapterRemoved(const PortTarget &port);

}  // namespace talvex::cli
