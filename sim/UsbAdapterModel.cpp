#include "sim/UsbAdapterModel.h"

#include <algorithm>

namespace talvex::sim {

void UsbAdapterModel::arrive(const std::vector<uint8_t> &bytes, uint64_t startUs, uint64_t byteUs)
{
    uint64_t at = std::max(startUs, lastArrivalUs());
    for (uint8_t b : bytes) {
        waiting_.push_back({at, b});
        at += byteUs;
    }
}

size_t UsbAdapterModel::nextPacket(uint64_t &dueUs) const
{
    if (waiting_.empty()) {
        dueUs = kNothingDue;
        return 0;
    }
    // The timer starts again with every byte that comes before it runs out.
    size_t last = 0;
    while (last + 1 < waiting_.size() && last + 1 < kPacketBytes &&
           waiting_[last + 1].atUs <= waiting_[last].atUs + latencyUs_)
        ++last;
    if (last + 1 == kPacketBytes) {
        dueUs = waiting_[last].atUs;  // a full packet leaves with its last byte
        return kPacketBytes;
    }
    dueUs = waiting_[last].atUs + latencyUs_;
    return last + 1;
}

std::vector<uint8_t> UsbAdapterModel::take(uint64_t nowUs)
{
    std::vector<uint8_t> out;
    for (;;) {
        uint64_t dueUs = 0;
        const size_t count = nextPacket(dueUs);
        if (count == 0 || dueUs > nowUs)
            break;
        for (size_t i = 0; i < count; ++i) {
            out.push_back(waiting_.front().value);
            waiting_.pop_front();
        }
    }
    return out;
}

uint64_t UsbAdapterModel::nextDueUs() const
{
    uint64_t dueUs = kNothingDue;
    nextPacket(dueUs);
    return dueUs;
}

}  // namespace talvex::sim
