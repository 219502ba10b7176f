#include "Port.h"

#include "PortNames.h"

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

} // namespace talvex::cli
