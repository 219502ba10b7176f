// termios implementation of the platform layer.
#include "SerialPort.h"
#include "Termios2.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

namespace {

// Device numbers of pseudo-terminals (the kernel's devices.txt).
constexpr unsigned kLegacyPtyMasterMajor = 2;   // /dev/ptyXX
constexpr unsigned kLegacyPtySlaveMajor = 3;    // /dev/ttyXX of the old scheme
constexpr unsigned kPtmxMajor = 5;              // /dev/ptmx, the multiplexer that hands out masters
constexpr unsigned kPtmxMinor = 2;
constexpr unsigned kPtsFirstMajor = 136;        // /dev/pts/N spans eight majors
constexpr unsigned kPtsLastMajor = 143;

bool IsPseudoTerminalNumber(dev_t device)
{
    const unsigned maj = major(device);
    return maj == kLegacyPtyMasterMajor || maj == kLegacyPtySlaveMajor ||
           (maj == kPtmxMajor && minor(device) == kPtmxMinor) ||
           (maj >= kPtsFirstMajor && maj <= kPtsLastMajor);
}

class PosixSerialPort final : public SerialPort {
public:
    ~PosixSerialPort() override { close(); }

    bool open(const std::string &path) override
    {
        close();
        if (path.empty())
            return false;
        // Non-blocking so that neither open (carrier) nor a full output queue can
        // hang the GUI thread; write() below waits with a bound instead.
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return false;
        // TIOCEXCL keeps out other unprivileged openers; flock also keeps out
        // root and a second open from this process, as long as they lock too.
        if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
            ::close(fd);
            return false;
        }
        fd_ = fd;
        return true;
    }

    void close() override
    {
        if (fd_ < 0)
            return;
        // The exclusive flag outlives our descriptor on a pty; clear it for the next opener.
        ioctl(fd_, TIOCNXCL);
        ::close(fd_);
        fd_ = -1;
    }

    bool isOpen() const override { return fd_ >= 0; }

    bool applySettings(const LineSettings &settings) override
    {
        if (fd_ < 0)
            return false;
        const bool ok = ApplyLineSettingsTermios2(fd_, settings);
        // Settings fix the modem lines: DTR as asked, RTS dropped unless the
        // hardware handshake owns it. A pty has no modem lines; that failure is ignored.
        setDtr(settings.dtrOn);
        if (!settings.rtsCts)
            setRts(false);
        return ok;
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
            if (n >= 0)
                return static_cast<int>(n);
            if (errno == EINTR)
                continue;
            // EAGAIN is "nothing yet"; EIO after a hang-up reads as nothing too.
            return (errno == EAGAIN || errno == EIO) ? 0 : -1;
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
            const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                Clock::now() - lastProgress).count();
            if (waited >= static_cast<long long>(timeoutMs))
                break;
            pollfd p{fd_, POLLOUT, 0};
            const int r = ::poll(&p, 1, static_cast<int>(timeoutMs - waited));
            if (r > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) && !(p.revents & POLLOUT))
                return done > 0 ? done : -1;
        }
        return done;
    }

    void setDtr(bool on) override { modemLine(TIOCM_DTR, on); }
    void setRts(bool on) override { modemLine(TIOCM_RTS, on); }

    int nativeHandle() const override { return fd_; }

    bool hungUp() const override
    {
        if (fd_ < 0)
            return false;
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
    }

private:
    void modemLine(int bit, bool on)
    {
        if (fd_ < 0)
            return;
        ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit);
    }

    int fd_ = -1;
};

} // namespace

DeviceKind ClassifyDevice(const std::string &path)
{
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return DeviceKind::Absent;
    return IsPseudoTerminalNumber(st.st_rdev) ? DeviceKind::PseudoTerminal : DeviceKind::SerialDevice;
}

std::unique_ptr<SerialPort> CreatePosixSerialPort()
{
    return std::make_unique<PosixSerialPort>();
}
