#include "serial/PortNames.h"

#include <array>
#include <cstdlib>

namespace {
constexpr std::array<const char *, kComPortCount> kFixedSlots = {
    "/dev/ttyS0",   "/dev/ttyS1",   "/dev/ttyUSB0", "/dev/ttyUSB1",
    "/dev/ttyUSB2", "/dev/ttyUSB3", "/dev/ttyACM0", "/dev/ttyACM1",
};
}

std::string ResolveComPort(const std::string &name, const char *portDir)
{
    if (name.size() != 4 || name.compare(0, 3, "COM") != 0 || name[3] < '1' || name[3] > '8')
        return {};
    if (portDir != nullptr && portDir[0] != '\0') {
        std::string dir(portDir);
        if (dir.back() != '/')
            dir += '/';
        return dir + name;
    }
    return kFixedSlots[static_cast<size_t>(name[3] - '1')];
}

std::string ResolveComPort(const std::string &name)
{
    return ResolveComPort(name, std::getenv(kPortDirEnv));
}
