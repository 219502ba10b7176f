#include "sim/ModulePortTarget.h"

namespace talvex::sim {

namespace {
// Station 0 is the broadcast address: a slave never answers it.
constexpr uint8_t kBroadcastStation = 0;
}  // namespace

bool ModulePortTarget::answers(uint8_t station) const
{
    if (station == kBroadcastStation)
        return false;
    if (port_ == ModulePort::Fixed)
        return station == kFixedPortStation;
    return station == module_.applied().station;
}

}  // namespace talvex::sim
