#include "PtyPair.h"

#include "PortNames.h"

#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

PtyPair::PtyPair(int comNumber)
{
    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
        return;
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    // A program the test starts must not hold the line's far end: closing the
    // master would not hang the line up while a child keeps a copy.
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    master_ = master;
    slaveKeep_ = slave;
    slavePath_ = name;
    linkPath_ = dir_.path().toStdString() + "/COM" + std::to_string(comNumber);
    symlink(slavePath_.c_str(), linkPath_.c_str());
    setenv(kPortDirEnv, dir_.path().toLocal8Bit().constData(), 1);
}

PtyPair::~PtyPair()
{
    if (slaveKeep_ >= 0)
        close(slaveKeep_);
    if (master_ >= 0)
        close(master_);
}

void PtyPair::writeMaster(const std::vector<uint8_t> &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        pollfd p{master_, POLLOUT, 0};
        poll(&p, 1, 50);
    }
}

std::vector<uint8_t> PtyPair::readMaster(int timeoutMs, int quietMs)
{
    std::vector<uint8_t> out;
    int wait = timeoutMs;
    for (;;) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, wait) <= 0 || !(p.revents & POLLIN))
            break;
        uint8_t buf[4096];
        const ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0)
            break;
        out.insert(out.end(), buf, buf + n);
        wait = quietMs;
    }
    return out;
}
