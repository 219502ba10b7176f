#include "tests/support/PtyPair.h"

#include "serial/PortNames.h"

#include <cstdlib>
#include <poll.h>
#include <unistd.h>

PtyPair::PtyPair(int comNumber)
{
    const std::string link = dir_.path().toStdString() + "/COM" + std::to_string(comNumber);
    std::string error;
    pty_.open(link, talvex::sim::PtyLink::kKeepSpeed, error);
    setenv(kPortDirEnv, dir_.path().toLocal8Bit().constData(), 1);
}

void PtyPair::writeMaster(const std::vector<uint8_t> &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(master(), bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        pollfd p{master(), POLLOUT, 0};
        poll(&p, 1, 50);
    }
}

std::vector<uint8_t> PtyPair::readMaster(int timeoutMs, int quietMs)
{
    std::vector<uint8_t> out;
    int wait = timeoutMs;
    for (;;) {
        pollfd p{master(), POLLIN, 0};
        if (poll(&p, 1, wait) <= 0 || !(p.revents & POLLIN))
            break;
        uint8_t buf[4096];
        const ssize_t n = read(master(), buf, sizeof buf);
        if (n <= 0)
            break;
        out.insert(out.end(), buf, buf + n);
        wait = quietMs;
    }
    return out;
}
