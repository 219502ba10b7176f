#include "sim/PlcGateway.h"

namespace talvex::sim {

uint16_t PlcGateway::read(uint32_t address)
{
    if (address < uint32_t{kFirstAddress} || address > uint32_t{kLastAddress})
        return 0;
    return image_[static_cast<size_t>(address - kFirstAddress)];
}

void PlcGateway::tick(uint64_t nowMs)
{
    while (auto msg = module_.nextCanMessage(nowMs)) {
        const int at = msg->gatewayAddress - kFirstAddress;
        if (at >= 0 && at + 1 < static_cast<int>(image_.size())) {
            image_[static_cast<size_t>(at)] = msg->first;
            image_[static_cast<size_t>(at + 1)] = msg->second;
        }
    }
    if (nowMs < nextBeat_)
        return;
    nextBeat_ = nowMs + kHeartbeatMs;
    if (heartbeat_)
        module_.canWriteRegister(Reg::Link_Beat, ++beat_);
}

void PlcGateway::moduleRestarted(uint64_t nowMs)
{
    image_.fill(0);
    nextBeat_ = nowMs + kHeartbeatMs;
}

}  // namespace talvex::sim
