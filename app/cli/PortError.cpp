#include "app/cli/PortError.h"

#include "app/cli/Options.h"

namespace talvex::cli {

int FailPortOpen(Output &out, const PortTarget &port, PortFault fault, int errorNumber, const QJsonObject &record)
{
    return out.fail(kExitPort, QStringLiteral("port"), CannotOpen(port, fault, errorNumber), record);
}

int FailAdapterRemoved(Output &out, const PortTarget &port, const QString &stage, const QString &consequence,
                       const QJsonObject &record)
{
    return out.fail(kExitPort, stage, AdapterRemoved(port) + consequence, record);
}

}  // namespace talvex::cli
