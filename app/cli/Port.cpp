#include "app/cli/Port.h"

#include "serial/PortNames.h"

#include <cstring>

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

QString PortFaultReason(PortFault fault, int errorNumber)
{
    switch (fault) {
    case PortFault::NotPresent:
        return QStringLiteral("not present (is the adapter plugged in?)");
    case PortFault::PermissionDenied:
        return QStringLiteral("permission denied: join the dialout group (sudo usermod -aG dialout $USER) "
                              "and log in again");
    case PortFault::Busy:
        return QStringLiteral("busy: another program holds it");
    case PortFault::NotSerialDevice:
        return QStringLiteral("not a serial device");
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
    return QStringLiteral("cannot open %1: %2").arg(Named(port), PortFaultReason(fault, errorNumber));
}

QString AdapterRemoved(const PortTarget &port)
{
    return QStringLiteral("%1: %2").arg(Named(port), PortFaultReason(PortFault::Removed, 0));
}

}  // namespace talvex::cli
