#pragma once
// Puts an Stm32Bootloader behind a pseudo-terminal: a host opens slavePath() as
// its serial port, and a thread of this object feeds what the host sends into
// the engine and writes the engine's answers back.
#include "Stm32Bootloader.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class Stm32BootPty {
public:
    struct Options {
        // Pace answers like the chip on a real line: the host's bytes and every
        // answer byte take their wire time at the tty's speed, and each answer
        // waits for the chip time the engine reports. Otherwise answers go at once.
        bool realistic = false;
        // Keep an fd of the tty end open ourselves, so the line never hangs up.
        bool holdTty = false;
        // Reset the engine when the host closes the port (the chip would be
        // reset by the next bootloader entry anyway).
        bool resetOnHangup = true;
    };

    explicit Stm32BootPty(Options options);
    Stm32BootPty() : Stm32BootPty(Options{}) {}
    ~Stm32BootPty();
    Stm32BootPty(const Stm32BootPty &) = delete;
    Stm32BootPty &operator=(const Stm32BootPty &) = delete;

    bool ok() const { return master_ >= 0; }
    const std::string &slavePath() const { return slavePath_; }
    int master() const { return master_; }

    // Runs `use` on the engine while the thread is kept off it. The engine's own
    // callbacks (onGo) run on the thread under this lock, which is recursive, so
    // they may use withEngine too; they must not block on the caller's thread.
    void withEngine(const std::function<void(Stm32Bootloader &)> &use);

    // Times the host closed the port so far.
    int hangups() const { return hangups_; }

private:
    void run();
    void serve(const uint8_t *bytes, size_t count);
    void writeAll(const uint8_t *bytes, size_t count);
    uint32_t lineSpeed() const;

    Options options_;
    int master_ = -1;
    int holdFd_ = -1;
    int wake_[2] = {-1, -1};  // a byte here ends the thread's wait
    std::string slavePath_;
    std::recursive_mutex engineMutex_;
    Stm32Bootloader engine_;
    std::atomic<bool> stop_{false};
    std::atomic<int> hangups_{0};
    std::chrono::steady_clock::time_point lineFree_{};  // when the last host byte has crossed the wire
    std::thread thread_;
};
