#pragma once
#include "sim/BootloaderPersonality.h"
#include "sim/BusTarget.h"
#include "sim/Faults.h"
#include "sim/FrameLog.h"
#include "sim/LineScheduler.h"
#include "sim/ModbusRtuPersonality.h"
#include "sim/ModuleCore.h"
#include "sim/ModulePortTarget.h"
#include "sim/PlcGateway.h"
#include "sim/SimOptions.h"
#include "sim/UsbAdapterModel.h"
#include "sim/pty/PtyLink.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace talvex::sim {

// The simulated module on a pseudo-terminal of its own, linked as DIR/COMn:
// the loop that reads the line and the command channel and runs what is due,
// the switch between the personalities by line speed, and a thread-safe front.
//
// Run it on a thread of its own with start()/stop() (tests), or on the calling
// thread with run() (the program). Every public call is thread-safe.
class Simulator {
public:
    explicit Simulator(SimOptions options);
    ~Simulator();
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // Creates the pty, the link and the state directory.
    bool open(std::string &error);
    // open() if not done, then the loop on a thread of its own.
    bool start(std::string &error);
    void stop();
    // The loop on the calling thread, until requestStop().
    void run();

    // Safe to call from a signal handler.
    void requestStop();
    void requestPowerCycle();

    // Text commands ("get 10", "set 10 500", "restart", ...), one line each, read
    // from inFd; answers go to outFd. For the program: its standard input and output.
    void setCommandChannel(int inFd, int outFd);
    std::string command(const std::string &line);

    // In-process access for tests.
    uint16_t reg(uint32_t address);
    void setReg(uint32_t address, uint16_t value);
    void powerCycle();
    void setFaults(const FaultPlan &plan);
    FaultPlan faults();
    // A stalled module reads nothing from the line, so the tool's output backs up
    // in the pty until it reads again; what it owes is still sent.
    void setStalled(bool on);
    // The line hands the tool's bytes back to it before any reply.
    void setEcho(bool on);
    // A USB adapter's latency timer between the line and the tool; 0 for none.
    void setLatencyTimerMs(uint32_t ms);
    void setHeartbeat(bool on);
    bool heartbeat();
    void setWatchdogPeriodMs(uint32_t ms);
    uint32_t outputSteps(int channel);
    bool fullAccess();
    // Line speed the tool last talked at (0 before any byte), and how often it was not the port's.
    uint32_t lastLineSpeed();
    uint32_t speedWarnings();
    // The speed the module's port runs at (57600 on the fixed port; register 23 on RS-485).
    uint32_t portSpeed();

    // The board on the fixture. Taken away, the line is silent at every speed;
    // a new one put on brings `id` (or the next unique ID), no stored settings
    // and firmware older than the image, and starts. Returns its ID.
    void removeBoard();
    stm32::UniqueId insertBoard(std::optional<stm32::UniqueId> id = std::nullopt);
    bool boardPresent();
    stm32::UniqueId uniqueId();

    SimMode mode() const { return options_.mode; }
    const std::string &linkPath() const { return pty_.linkPath(); }
    const std::string &ttyPath() const { return pty_.ttyPath(); }
    std::string settingsPath() const { return settingsPath(0); }
    // Module `index` of a bus (0 is the first, the one the other calls reach).
    std::string settingsPath(size_t index) const;
    size_t moduleCount() const { return 1 + others_.size(); }
    uint16_t moduleReg(size_t index, uint32_t address);

    // A further personality the line can switch to by speed (the serial bootloader).
    // The simulator does not own it; it must outlive the simulator.
    void addPersonality(LinePersonality *personality);
    // The chip's bootloader, under the simulator's lock.
    void withBootloader(const std::function<void(BootloaderPersonality &)> &fn);

private:
    uint64_t nowMs() const;
    uint64_t nowUs() const;
    uint64_t runDue(uint64_t nowUs);  // returns microseconds until the next due event
    // Sends the reply next in line.
    void sendNext();
    void powerCycleLocked(uint64_t now);
    // Leaving the bootloader (a Go, or the tool back at the module's speed): the
    // module runs its program again, the new one if the flash was written.
    void leaveBootloader(uint64_t now);
    void lineBytes(const uint8_t *data, size_t size, uint64_t nowUs);
    // The personality for the speed the tool set, switching over if it changed;
    // null (and a warning) when no personality runs at that speed.
    LinePersonality *takeLine(uint64_t nowMs);
    // Applies the line faults and sends or schedules each reply.
    void queueReplies(std::vector<LineReply> &replies, uint64_t nowUs);
    void deliver(std::vector<uint8_t> bytes, const std::function<void()> &sent, uint64_t dueUs);
    // Puts bytes on the tool's side of the pty; returns how many went.
    size_t writeToTool(const std::vector<uint8_t> &bytes);
    // Bytes on their way to the tool, through the adapter when there is one.
    void toTool(const std::vector<uint8_t> &bytes, uint64_t startUs);
    // One character's time on the line at the speed the tool set (11 bits).
    uint64_t charTimeUs() const;
    // Garbage for a tool on a line no module runs (--garble-wrong-line).
    void garble(size_t heard, uint64_t nowUs);
    ModuleCore &moduleAt(size_t index);
    void readCommands();
    void wake();
    void closeAll();

    SimOptions options_;
    std::mutex mutex_;
    FrameLog log_;
    ModuleCore module_;
    ModulePortTarget fixedPort_;
    ModulePortTarget rs485Port_;
    // The further modules of a bus, module_ being its first.
    struct BusMember {
        ModuleCore core;
        ModulePortTarget port;
        BusMember(std::optional<SettingsStore> store, uint32_t seed)
            : core(std::move(store), seed), port(core, ModulePort::Rs485)
        {
        }
    };
    std::vector<std::unique_ptr<BusMember>> others_;
    BusTarget bus_;
    ToolLine toolLine_;
    uint32_t garbleState_ = 0x9E3779B9;
    PlcGateway gateway_;
    ModbusRtuPersonality modbus_;
    BootloaderPersonality boot_;
    bool goRequested_ = false;
    bool boardPresent_ = true;
    std::vector<LinePersonality *> personalities_;
    LinePersonality *active_ = nullptr;
    FaultInjector faults_;
    LineScheduler schedule_;

    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    uint32_t lastSpeed_ = 0;
    uint32_t warnedSpeed_ = 0;
    uint32_t speedWarnings_ = 0;
    uint64_t masterQuietUntil_ = 0;
    bool stalled_ = false;
    bool echo_ = false;
    UsbAdapterModel adapter_;
    uint64_t lineFreeUs_ = 0;  // with an adapter: when the line is next free

    PtyLink pty_;
    int wakePipe_[2] = {-1, -1};
    int cmdIn_ = -1;
    int cmdOut_ = -1;
    std::string cmdLine_;

    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> powerCycleRequested_{false};
    std::thread thread_;
};

}  // namespace talvex::sim
