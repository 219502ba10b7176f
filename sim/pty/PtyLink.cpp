#include "sim/pty/PtyLink.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace talvex::sim {

PtyLink::~PtyLink()
{
    close();
}

bool PtyLink::open(const std::string &linkPath, unsigned speed, std::string &error)
{
    close();
    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        error = std::string("openpty failed: ") + std::strerror(errno);
        return false;
    }
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    if (speed != kKeepSpeed)
        cfsetspeed(&raw, static_cast<speed_t>(speed));
    tcsetattr(slave, TCSANOW, &raw);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);

    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(linkPath).parent_path(), ec);
    if (std::filesystem::is_symlink(linkPath, ec))
        std::filesystem::remove(linkPath, ec);
    if (symlink(name, linkPath.c_str()) != 0) {
        error = "cannot link " + linkPath + ": " + std::strerror(errno);
        ::close(master);
        ::close(slave);
        return false;
    }
    master_ = master;
    slaveKeep_ = slave;
    ttyPath_ = name;
    linkPath_ = linkPath;
    return true;
}

void PtyLink::close()
{
    if (!linkPath_.empty()) {
        std::error_code ec;
        // Only our own link goes: another run may have linked the name since.
        if (std::filesystem::read_symlink(linkPath_, ec) == ttyPath_)
            std::filesystem::remove(linkPath_, ec);
    }
    for (int *fd : {&master_, &slaveKeep_}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    linkPath_.clear();
    ttyPath_.clear();
}

}  // namespace talvex::sim
