#include "sim/BusTarget.h"

#include "sim/ModuleRegisters.h"

#include <algorithm>

namespace talvex::sim {

bool BusTarget::understands(const Member &m) const
{
    const AppliedSettings &a = m.module->applied();
    return LineMatches(tool_, kBaud485Table[a.baud485Index], a.dat485Index);
}

bool BusTarget::hearsLine() const
{
    return std::any_of(members_.begin(), members_.end(), [this](const Member &m) { return understands(m); });
}

std::vector<uint32_t> BusTarget::speeds() const
{
    std::vector<uint32_t> out;
    for (const Member &m : members_)
        out.push_back(kBaud485Table[m.module->applied().baud485Index]);
    return out;
}

ModbusTarget *BusTarget::forStation(uint8_t station)
{
    for (Member &m : members_)
        if (understands(m) && m.port->answers(station))
            return m.port;
    return nullptr;
}

bool BusTarget::answers(uint8_t station) const
{
    return std::any_of(members_.begin(), members_.end(),
                       [&](const Member &m) { return understands(m) && m.port->answers(station); });
}

}  // namespace talvex::sim
