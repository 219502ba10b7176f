#include "PortError.h"

#include "Options.h"

#include <QFileInfo>

namespace talvex::cli {

int FailPortOpen(Output &out, const PortTarget &port, const QJsonObject &record)
{
    const QString device = QString::fromStdString(port.device);
    const bool exists = QFileInfo::exists(device);
    return out.fail(kExitPort, QStringLiteral("port"),
                    QStringLiteral("cannot open %1%2: %3")
                        .arg(port.name, device == port.name ? QString() : QStringLiteral(" (%1)").arg(device),
                             exists ? QStringLiteral("busy, or not a serial device") : QStringLiteral("no such device")),
                    record);
}

} // namespace talvex::cli
