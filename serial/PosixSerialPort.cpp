// termios implementation of the platform layer.
#include "serial/SerialPort.h"
#include "serial/Termios2.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <linux/serial.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

namespace {

// Device numbers of pseudo-terminals (the kernel's devices.txt).
constexpr unsigned kLegacyPtyMasterMajor = 2;  // /dev/ptyXX
constexpr unsigned kLegacyPtySlaveMajor = 3;   // /dev/ttyXX of the old scheme
constexpr unsigned kPtmxMajor = 5;             // /dev/ptmx, the multiplexer that hands out masters
constexpr unsigned kPtmxMinor = 2;
constexpr unsigned kPtsFirstMajor = 136;  // /dev/pts/N spans eight majors
constexpr unsigned kPtsLastMajor = 143;

// Consoles (the kernel's devices.txt): /dev/tty0 ... /dev/tty63, /dev/tty and /dev/console.
constexpr unsigned kVirtualConsoleMajor = 4;  // minors 0 ... 63; ttyS0 and on start at 64
constexpr unsigned kLastVirtualConsoleMinor = 63;
constexpr unsigned kTtyAuxMajor = 5;  // /dev/tty (0), /dev/console (1), /dev/ttyprintk (3)
constexpr unsigned kControllingTtyMinor = 0;
constexpr unsigned kConsoleMinor = 1;
constexpr unsigned kTtyPrintkMinor = 3;

// The process's controlling terminal, from field 7 of /proc/self/stat (0: none).
dev_t ControllingTerminal()
{
    FILE *f = std::fopen("/proc/self/stat", "re");
    if (!f)
        return 0;
    char line[1024] = {};
    const bool read = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    // The command name in parentheses may hold spaces: count from its closing one.
    const char *end = read ? std::strrchr(line, ')') : nullptr;
    int ttyNr = 0;
    if (!end || std::sscanf(end + 1, " %*c %*d %*d %*d %d", &ttyNr) != 1)
        return 0;
    const auto nr = static_cast<unsigned>(ttyNr);
    return makedev((nr >> 8) & 0xFFFu, (nr & 0xFFu) | ((nr >> 12) & 0xFFF00u));
}

bool IsConsoleNumber(dev_t device)
{
    const unsigned maj = major(device);
    const unsigned min = minor(device);
    if (maj == kVirtualConsoleMajor && min <= kLastVirtualConsoleMinor)
        return true;
    if (maj == kTtyAuxMajor && (min == kControllingTtyMinor || min == kConsoleMinor || min == kTtyPrintkMinor))
        return true;
    const dev_t own = ControllingTerminal();
    return own != 0 && own == device;
}

bool IsPseudoTerminalNumber(dev_t device)
{
    const unsigned maj = major(device);
    return maj == kLegacyPtyMasterMajor || maj == kLegacyPtySlaveMajor ||
           (maj == kPtmxMajor && minor(device) == kPtmxMinor) || (maj >= kPtsFirstMajor && maj <= kPtsLastMajor);
}

// A character device is a tty when one of the kernel's tty drivers owns its
// number; /proc/tty/drivers lists them ("name /dev/path major minors type").
// Without that list every character device is given the benefit of the doubt:
// open() tells a tty by isatty() then.
bool IsTtyNumber(dev_t device)
{
    FILE *list = std::fopen("/proc/tty/drivers", "re");
    if (!list)
        return true;
    const unsigned maj = major(device);
    const unsigned min = minor(device);
    bool tty = false;
    char line[256];
    while (!tty && std::fgets(line, sizeof line, list)) {
        char name[64], path[64], minors[32];
        unsigned driverMajor = 0;
        if (std::sscanf(line, "%63s %63s %u %31s", name, path, &driverMajor, minors) != 4 || driverMajor != maj)
            continue;
        unsigned first = 0, last = 0;
        const int n = std::sscanf(minors, "%u-%u", &first, &last);
        if (n == 1)
            last = first;
        tty = n >= 1 && min >= first && min <= last;
    }
    std::fclose(list);
    return tty;
}

PortFault FaultOfErrno(int e)
{
    switch (e) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return PortFault::NotPresent;
    case EACCES:
    case EPERM:
        return PortFault::PermissionDenied;
    case EBUSY:
    case EWOULDBLOCK:
        return PortFault::Busy;
    case ENOTTY:
        return PortFault::NotSerialDevice;
    case EIO:
        return PortFault::DeviceError;
    default:
        return PortFault::Other;
    }
}

// Devices this process holds, by number: a second open of the same device
// (through another name, a link, another window) is refused before open() can
// raise DTR and RTS under the first holder.
std::set<dev_t> &HeldHere()
{
    static std::set<dev_t> held;
    return held;
}

// Where the lock that names a device number lives: /run/lock, or the user's
// runtime folder where /run/lock is not writable. Empty: neither.
std::string LockFolder()
{
    static const char kSystemLocks[] = "/run/lock";
    if (::access(kSystemLocks, W_OK) == 0)
        return kSystemLocks;
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    return runtime && *runtime && ::access(runtime, W_OK) == 0 ? runtime : std::string();
}

// Takes the lock of `device` for every process that uses this tool: a file named
// after the device number, held with flock while the port is open. The kernel
// lets go of it when the holder ends, however it ends. Returns its descriptor,
// -1 with errno EBUSY when another holds it, or -2 when no lock can be kept
// here (no folder for it): the device's own flock still guards the port then.
int TakeDeviceLock(dev_t device)
{
    const std::string folder = LockFolder();
    if (folder.empty())
        return -2;
    char name[64];
    std::snprintf(name, sizeof name, "/talvex-dev-%u-%u.lock", major(device), minor(device));
    const std::string path = folder + name;
    constexpr mode_t kLockMode = 0644;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, kLockMode);
    if (fd < 0 && errno == EACCES)  // made by another user: reading is enough to lock it
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return -2;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        errno = EBUSY;
        return -1;
    }
    return fd;
}

LineSettings FromReadback(const LineReadback &rb)
{
    LineSettings s;
    s.baud = rb.ospeed;
    s.dataBits = rb.csize;
    constexpr int kNone = 0, kOdd = 1, kEven = 2, kMark = 3, kSpace = 4;
    s.parity = !rb.parenb ? kNone : rb.cmspar ? (rb.parodd ? kMark : kSpace) : (rb.parodd ? kOdd : kEven);
    constexpr int kOneStop = 0, kTwoStops = 2;
    s.stopBits = rb.cstopb ? kTwoStops : kOneStop;
    s.rtsCts = rb.crtscts;
    s.hangUpOnClose = rb.hupcl;
    return s;
}

class PosixSerialPort final : public SerialPort {
public:
    ~PosixSerialPort() override { close(); }

    bool open(const std::string &path) override
    {
        close();
        fault_ = PortFault::None;
        errno_ = 0;
        if (path.empty())
            return fail(PortFault::NotPresent, ENOENT);
        // Refuse what cannot be a serial line before opening it: a file, a folder,
        // /dev/null would otherwise open and then only time out.
        switch (ClassifyDevice(path)) {
        case DeviceKind::Absent:
            return fail(PortFault::NotPresent, ENOENT);
        case DeviceKind::NotSerial:
            return fail(PortFault::NotSerialDevice, ENOTTY);
        case DeviceKind::Console:
            return fail(PortFault::NotAnAdapter, ENOTTY);
        case DeviceKind::PseudoTerminal:
        case DeviceKind::SerialDevice:
            break;
        }
        // Root passes TIOCEXCL, and open() raises DTR and RTS before any flock can
        // refuse: a port already held is refused by its number first.
        struct stat named {};
        if (::stat(path.c_str(), &named) != 0)
            return fail(FaultOfErrno(errno), errno);
        if (HeldHere().count(named.st_rdev) != 0)
            return fail(PortFault::Busy, EBUSY);
        const int lockFd = TakeDeviceLock(named.st_rdev);
        if (lockFd == -1)
            return fail(PortFault::Busy, EBUSY);
        // Non-blocking so that neither open (carrier) nor a full output queue can
        // hang the GUI thread; write() below waits with a bound instead.
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            const int e = errno;
            if (lockFd >= 0)
                ::close(lockFd);
            return fail(FaultOfErrno(e), e);
        }
        // TIOCEXCL keeps out other unprivileged openers; flock also keeps out
        // root and a second open from this process, as long as they lock too.
        PortFault why = PortFault::None;
        int err = 0;
        if (!isatty(fd))
            why = PortFault::NotSerialDevice, err = ENOTTY;
        else if (flock(fd, LOCK_EX | LOCK_NB) != 0)
            why = PortFault::Busy, err = errno;
        else if (ioctl(fd, TIOCEXCL) != 0)
            why = FaultOfErrno(errno), err = errno;
        if (why != PortFault::None) {
            if (lockFd >= 0)
                ::close(lockFd);
            ::close(fd);
            return fail(why, err);
        }
        struct stat st {};
        pseudoTerminal_ = fstat(fd, &st) == 0 && IsPseudoTerminalNumber(st.st_rdev);
        fd_ = fd;
        lockFd_ = lockFd;
        device_ = named.st_rdev;
        HeldHere().insert(device_);
        return true;
    }

    void close() override
    {
        if (fd_ < 0)
            return;
        if (latencyChanged_) {
            ioctl(fd_, TIOCSSERIAL, &serialBefore_);
            latencyChanged_ = false;
        }
        // The exclusive flag outlives our descriptor on a pty; clear it for the next opener.
        ioctl(fd_, TIOCNXCL);
        // The number lock goes first: when the far end is already gone (a pty
        // whose master closed, an adapter pulled out) the kernel hands the number
        // to the next new device as our descriptor closes, and a lock still held
        // then would refuse that device as busy. Until the close below, the
        // device's own flock keeps a second opener out.
        if (lockFd_ >= 0)
            ::close(lockFd_);
        lockFd_ = -1;
        ::close(fd_);
        fd_ = -1;
        HeldHere().erase(device_);
    }

    bool isOpen() const override { return fd_ >= 0; }

    bool applySettings(const LineSettings &settings) override
    {
        if (fd_ < 0)
            return false;
        if (!ApplyLineSettingsTermios2(fd_, settings)) {
            const int e = errno;
            return fail(e == EIO ? PortFault::DeviceError : PortFault::SettingsRefused, e);
        }
        // A driver may take the call and ignore part of it (parity on old ch341
        // drivers, the line coding on some CDC-ACM devices): read back what it took.
        LineReadback rb;
        if (!ReadLineSettingsTermios2(fd_, rb))
            return fail(PortFault::SettingsRefused, errno);
        if (!SettingsKept(settings, FromReadback(rb), pseudoTerminal_))
            return fail(PortFault::SettingsNotKept, EINVAL);
        return true;
    }

    void purge(bool input, bool output) override
    {
        if (fd_ < 0)
            return;
        if (input && output)
            tcflush(fd_, TCIOFLUSH);
        else if (input)
            tcflush(fd_, TCIFLUSH);
        else if (output)
            tcflush(fd_, TCOFLUSH);
    }

    bool outputQueue(uint32_t &count) override
    {
        int queued = 0;
        if (fd_ < 0 || ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued < 0)
            return false;
        count = static_cast<uint32_t>(queued);
        return true;
    }

    int read(uint8_t *buffer, int size) override
    {
        if (fd_ < 0 || size <= 0)
            return 0;
        for (;;) {
            const ssize_t n = ::read(fd_, buffer, static_cast<size_t>(size));
            if (n > 0)
                return static_cast<int>(n);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN)
                return 0;
            // A raw tty reads 0 when nothing is there, and also once its far end is
            // gone (a pulled adapter, a closed pty master), as EIO may be: only the
            // hang-up flag tells the two apart.
            if (hungUp())
                return fail(PortFault::Removed, EIO), -1;
            return n == 0 ? 0 : (fail(FaultOfErrno(errno), errno), -1);
        }
    }

    int write(const uint8_t *data, int size, uint32_t timeoutMs) override
    {
        if (fd_ < 0)
            return -1;
        using Clock = std::chrono::steady_clock;
        int done = 0;
        auto lastProgress = Clock::now();
        while (done < size) {
            const ssize_t n = ::write(fd_, data + done, static_cast<size_t>(size - done));
            if (n > 0) {
                done += static_cast<int>(n);
                lastProgress = Clock::now();
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN)
                return done > 0 ? done : -1;
            const auto waited =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastProgress).count();
            if (waited >= static_cast<long long>(timeoutMs))
                break;
            pollfd p{fd_, POLLOUT, 0};
            const int r = ::poll(&p, 1, static_cast<int>(timeoutMs - waited));
            if (r > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) && !(p.revents & POLLOUT))
                return done > 0 ? done : -1;
        }
        return done;
    }

    bool setDtr(bool on) override { return modemLines(on ? TIOCMBIS : TIOCMBIC, TIOCM_DTR); }
    bool setRts(bool on) override { return modemLines(on ? TIOCMBIS : TIOCMBIC, TIOCM_RTS); }
    bool dropModemLines(unsigned lines) override
    {
        const int bits = ((lines & kLineDtr) ? TIOCM_DTR : 0) | ((lines & kLineRts) ? TIOCM_RTS : 0);
        return modemLines(TIOCMBIC, bits);
    }

    void requestLowLatency() override
    {
        if (fd_ < 0 || latencyChanged_)
            return;
        // ptys and many drivers have no serial_struct (ENOTTY, EINVAL); some refuse
        // the change (EPERM). Either way the port works as before, only slower.
        struct serial_struct ss {};
        if (ioctl(fd_, TIOCGSERIAL, &ss) != 0)
            return;
        serialBefore_ = ss;
        if (ss.flags & ASYNC_LOW_LATENCY)
            return;
        ss.flags |= ASYNC_LOW_LATENCY;
        latencyChanged_ = ioctl(fd_, TIOCSSERIAL, &ss) == 0;
    }

    PortFault fault() const override { return fault_; }
    int errorNumber() const override { return errno_; }

    int nativeHandle() const override { return fd_; }

    bool hungUp() const override
    {
        if (fd_ < 0)
            return false;
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
    }

private:
    bool modemLines(unsigned long request, int bits) { return fd_ >= 0 && ioctl(fd_, request, &bits) == 0; }

    bool fail(PortFault why, int err)
    {
        fault_ = why;
        errno_ = err;
        return false;
    }

    int fd_ = -1;
    int lockFd_ = -1;  // the lock named after the device number, while open
    dev_t device_ = 0;
    bool pseudoTerminal_ = false;
    bool latencyChanged_ = false;
    struct serial_struct serialBefore_ {};
    PortFault fault_ = PortFault::None;
    int errno_ = 0;
};

}  // namespace

DeviceKind ClassifyDevice(const std::string &path)
{
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0)
        return DeviceKind::Absent;
    if (!S_ISCHR(st.st_mode))
        return DeviceKind::NotSerial;
    // A terminal someone types at, a pty among them, is never a line to a module.
    if (IsConsoleNumber(st.st_rdev))
        return DeviceKind::Console;
    if (IsPseudoTerminalNumber(st.st_rdev))
        return DeviceKind::PseudoTerminal;
    return IsTtyNumber(st.st_rdev) ? DeviceKind::SerialDevice : DeviceKind::NotSerial;
}

bool SettingsKept(const LineSettings &asked, const LineSettings &got, bool pseudoTerminal)
{
    // A UART divides its clock: the speed it reports may sit a little off the one
    // asked for, well inside what the far end tolerates.
    constexpr double kSpeedTolerance = 0.02;
    if (std::fabs(double(got.baud) - double(asked.baud)) > kSpeedTolerance * double(asked.baud))
        return false;
    // One and a half stop bits are two on Linux.
    if ((asked.stopBits != 0) != (got.stopBits != 0))
        return false;
    if (pseudoTerminal)
        return true;
    return got.parity == asked.parity && got.dataBits == asked.dataBits;
}

std::unique_ptr<SerialPort> CreatePosixSerialPort()
{
    return std::make_unique<PosixSerialPort>();
}

namespace {
SerialPortMaker &Maker()
{
    static SerialPortMaker maker;
    return maker;
}
}  // namespace

std::unique_ptr<SerialPort> CreateSerialPort()
{
    return Maker() ? Maker()() : CreatePosixSerialPort();
}

void SetSerialPortMaker(SerialPortMaker maker)
{
    Maker() = std::move(maker);
}
