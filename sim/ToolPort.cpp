#include "sim/ToolPort.h"

#include "sim/pty/PtyLink.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace talvex::sim {
namespace {

constexpr int kWriteWaitMs = 100;      // how long a reply may wait for room in the pty
constexpr uint64_t kBitsPerChar = 11;  // start, 8 data, parity, stop
constexpr uint32_t kFallbackSpeed = 57600;

}  // namespace

void ToolPort::heard(const uint8_t *data, size_t size, uint64_t atUs, uint64_t nowUs)
{
    // The adapter hears its own request before anything else on the bus.
    if (echo_)
        send(std::vector<uint8_t>(data, data + size), atUs, nowUs);
    else if (adapter_.enabled())
        lineFreeUs_ = std::max(lineFreeUs_, atUs) + size * charTimeUs();
}

void ToolPort::send(const std::vector<uint8_t> &bytes, uint64_t startUs, uint64_t nowUs)
{
    if (!adapter_.enabled()) {
        write(bytes);
        return;
    }
    // Through the adapter the line's pace shows: bytes follow each other at the
    // line's speed, and a reply starts only once the line is free.
    const uint64_t start = std::max(startUs, lineFreeUs_);
    adapter_.arrive(bytes, start, charTimeUs());
    lineFreeUs_ = start + bytes.size() * charTimeUs();
    write(adapter_.take(nowUs));
}

size_t ToolPort::deliver(const std::vector<uint8_t> &bytes, uint64_t dueUs, uint64_t nowUs)
{
    if (!adapter_.enabled())
        return write(bytes);
    send(bytes, dueUs, nowUs);
    return bytes.size();
}

void ToolPort::flush(uint64_t nowUs)
{
    if (adapter_.enabled())
        write(adapter_.take(nowUs));
}

uint64_t ToolPort::nextDueUs() const
{
    return adapter_.enabled() ? adapter_.nextDueUs() : UsbAdapterModel::kNothingDue;
}

size_t ToolPort::write(const std::vector<uint8_t> &bytes)
{
    size_t done = 0;
    int waited = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(pty_.master(), bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            break;
        // Nobody reads the tty end and the pty is full: the reply is lost, as on a dead line.
        if (waited >= kWriteWaitMs)
            break;
        pollfd p{pty_.master(), POLLOUT, 0};
        poll(&p, 1, 1);
        ++waited;
    }
    return done;
}

uint64_t ToolPort::charTimeUs() const
{
    const uint64_t speed = speed_ != 0 ? speed_ : kFallbackSpeed;
    return kBitsPerChar * 1000000 / speed;
}

}  // namespace talvex::sim
