#include "app/cli/Port.h"

#include "serial/PortNames.h"

#include <cstring>

#include <grp.h>
#include <sys/stat.h>

namespace talvex::cli {

bool ResolvePort(const QString &name, PortTarget &target)
{
    target = PortTarget{};
    target.name = name;
    if (name.contains('/')) {
        target.device = name.toStdString();
        return true;
    }
    const std::string com = name.toUpper().toStdString();
    target.device = ResolveComPort(com);
    if (target.device.empty())
        return false;
    target.comIndex = com[3] - '1';
    return true;
}

namespace {

QString Named(const PortTarget &port)
{
    const QString device = QString::fromStdString(port.device);
    return device == port.name ? port.name : QStringLiteral("%1 (%2)").arg(port.name, device);
}

}  // namespace

QString DeviceGroup(const std::string &device)
{
    // Debian gives serial devices to dialout, other systems to uucp or tty: the
    // device itself says which.
    struct stat st {};
    if (!device.empty() && ::stat(device.c_str(), &st) == 0)
        if (const struct group *g = ::getgrgid(st.st_gid))
            return QString::fromLocal8Bit(g->gr_name);
    return QStringLiteral("dialout");
}

QString PortFaultReason(PortFault fault, int errorNumber, const std::string &device)
{
    switch (fault) {
    case PortFault::NotPresent:
        return QStringLiteral("not present (is the adapter plugged in?)");
    case PortFault::PermissionDenied: {
        const QString group = DeviceGroup(device);
        return QStringLiteral("permission denied: join the %1 group (sudo usermod -aG %1 $USER) "
                              "and log in again")
            .arg(group);
    }
    case PortFault::Busy:
        return QStringLiteral("busy: another program holds it");
    case PortFault::NotSerialDevice:
        return QStringLiteral("not a serial device");
    case PortFault::NotAnAdapter:
        return QStringLiteral("not a serial adapter (a console or the controlling terminal); nothing was set on it");
    case PortFault::DeviceError:
        return QStringLiteral("the device does not answer (I/O error): no UART behind it, or a faulty adapter");
    case PortFault::SettingsRefused:
        return QStringLiteral("the driver refused the line settings");
    case PortFault::SettingsNotKept:
        return QStringLiteral("the driver did not keep the line settings (speed, parity, data or stop bits "
                              "read back differ); this adapter or its driver cannot carry the link");
    case PortFault::Removed:
        return QStringLiteral("adapter removed");
    case PortFault::None:
    case PortFault::Other:
        break;
    }
    return errorNumber != 0 ? QString::fromLocal8Bit(std::strerror(errorNumber)) : QStringLiteral("failed");
}

QString CannotOpen(const PortTarget &port, PortFault fault, int errorNumber)
{
    return QStringLiteral("cannot open %1: %2").arg(Named(port), PortFaultReason(fault, errorNumber, port.device));
}

QString AdapterRemoved(const PortTarget &port)
{
    return QStringLiteral("%1: %2").arg(Named(port), PortFaultReason(PortFault::Removed, 0));
}

}  // namespace talvex::cli
