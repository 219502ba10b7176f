#include "Stm32BootPty.h"

#include "Termios2.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

using Clock = std::chrono::steady_clock;

namespace {

// How often a hung-up line is looked at again: poll() would report the hang-up
// at once on every call, so the master is left out of the wait meanwhile.
constexpr int kHangupRecheckMs = 10;
// Longest wait for the host to read before an answer byte is dropped.
constexpr int kWriteStallMs = 1000;
// Largest chunk taken from the master in one read.
constexpr size_t kReadChunk = 4096;

} // namespace

Stm32BootPty::Stm32BootPty(Options options) : options_(options)
{
    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
        return;
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    cfsetspeed(&raw, B115200);
    tcsetattr(slave, TCSANOW, &raw);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        close(master);
        close(slave);
        return;
    }
    fcntl(master, F_SETFD, FD_CLOEXEC);
    master_ = master;
    slavePath_ = name;
    if (options_.holdTty) {
        fcntl(slave, F_SETFD, FD_CLOEXEC);
        holdFd_ = slave;
    } else {
        close(slave);
    }
    thread_ = std::thread([this] { run(); });
}

Stm32BootPty::~Stm32BootPty()
{
    stop_ = true;
    if (wake_[1] >= 0) {
        const uint8_t b = 0;
        (void)!write(wake_[1], &b, 1);
    }
    if (thread_.joinable())
        thread_.join();
    for (int fd : {holdFd_, master_, wake_[0], wake_[1]})
        if (fd >= 0)
            close(fd);
}

void Stm32BootPty::withEngine(const std::function<void(Stm32Bootloader &)> &use)
{
    std::lock_guard<std::recursive_mutex> lock(engineMutex_);
    use(engine_);
}

uint32_t Stm32BootPty::lineSpeed() const
{
    LineReadback rb;
    // The master end reports the settings the host gave its end of the line.
    return ReadLineSettingsTermios2(master_, rb) && rb.ospeed > 0 ? rb.ospeed : stm32::kDefaultBaud;
}

void Stm32BootPty::run()
{
    bool hungUp = false;
    while (!stop_) {
        pollfd fds[2] = {{hungUp ? -1 : master_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        const int ready = poll(fds, 2, hungUp ? kHangupRecheckMs : -1);
        if (stop_)
            break;
        if (ready < 0 && errno != EINTR)
            break;
        if (hungUp) {
            pollfd probe{master_, POLLIN, 0};
            if (poll(&probe, 1, 0) >= 0 && !(probe.revents & POLLHUP))
                hungUp = false;  // the host opened the port again
            continue;
        }
        if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        uint8_t buf[kReadChunk];
        const ssize_t n = read(master_, buf, sizeof buf);
        if (n > 0) {
            serve(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        // Read 0 or EIO: the host closed its end.
        hungUp = true;
        ++hangups_;
        if (options_.resetOnHangup)
            withEngine([](Stm32Bootloader &e) { e.reset(); });
    }
}

void Stm32BootPty::serve(const uint8_t *bytes, size_t count)
{
    std::vector<Stm32Answer> answers;
    withEngine([&](Stm32Bootloader &e) { answers = e.feedTimed(bytes, count); });
    if (!options_.realistic) {
        for (const Stm32Answer &a : answers)
            writeAll(a.bytes.data(), a.bytes.size());
        return;
    }
    // The chip sees the host's bytes only after they have crossed the wire.
    const uint32_t baud = lineSpeed();
    lineFree_ = std::max(lineFree_, Clock::now()) + stm32::WireTime(count, baud);
    auto due = lineFree_;
    for (const Stm32Answer &a : answers) {
        due += a.chipTime;
        for (uint8_t b : a.bytes) {
            due += stm32::WireTime(1, baud);
            std::this_thread::sleep_until(due);
            if (stop_)
                return;
            writeAll(&b, 1);
        }
    }
    lineFree_ = std::max(lineFree_, due);
}

void Stm32BootPty::writeAll(const uint8_t *bytes, size_t count)
{
    size_t done = 0;
    const auto giveUp = Clock::now() + std::chrono::milliseconds(kWriteStallMs);
    while (done < count && !stop_) {
        const ssize_t n = write(master_, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return;  // hung up: nobody is there to read it
        if (Clock::now() >= giveUp)
            return;
        pollfd p{master_, POLLOUT, 0};
        poll(&p, 1, kHangupRecheckMs);
    }
}
