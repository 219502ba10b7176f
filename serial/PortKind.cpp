#include "PortKind.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

// Linux character-device majors of pseudo-terminals.
constexpr unsigned kBsdPtyMaster = 2;
constexpr unsigned kBsdPtySlave = 3;
constexpr unsigned kTtyAux = 5;              // /dev/tty, /dev/console, /dev/ptmx
constexpr unsigned kPtmxMinor = 2;
constexpr unsigned kUnix98MasterFirst = 128;
constexpr unsigned kUnix98MasterLast = 135;
constexpr unsigned kUnix98SlaveFirst = 136;  // /dev/pts/N
constexpr unsigned kUnix98SlaveLast = 143;

} // namespace

bool IsPseudoTerminal(const std::string &path)
{
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    const unsigned maj = major(st.st_rdev);
    const unsigned min = minor(st.st_rdev);
    return maj == kBsdPtyMaster || maj == kBsdPtySlave || (maj == kTtyAux && min == kPtmxMinor) ||
           (maj >= kUnix98MasterFirst && maj <= kUnix98MasterLast) ||
           (maj >= kUnix98SlaveFirst && maj <= kUnix98SlaveLast);
}
