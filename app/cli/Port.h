#pragma once
// Which serial device a -p argument names.
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

} // namespace talvex::cli
