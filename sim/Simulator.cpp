#include "sim/Simulator.h"

#include "serial/Termios2.h"
#include "sim/BoardIdentity.h"
#include "sim/SimCommands.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace talvex::sim {
namespace {

constexpr size_t kReadChunk = 4096;
constexpr int kWriteWaitMs = 100;  // how long a reply may wait for room in the pty
constexpr int kIdlePollMs = 50;    // upper bound of one wait, so gaps and stop are seen
constexpr size_t kMaxCommandLine = 256;
constexpr uint64_t kBitsPerChar = 11;  // start, 8 data, parity, stop
constexpr uint32_t kFallbackSpeed = 57600;

// Garbage bytes for one chunk heard at a wrong line: as many as were heard, at most a frame's worth.
constexpr size_t kMaxGarbleBytes = 8;

SimOptions WithDefaults(SimOptions options)
{
    if (options.passMs == 0)
        options.passMs = SimOptions::kDefaultPassMs;
    // Modules share a line only on RS-485.
    if (!options.busStations.empty())
        options.mode = SimMode::Rs485Port;
    return options;
}

}  // namespace

Simulator::Simulator(SimOptions options)
    : options_(WithDefaults(std::move(options))),
      module_(options_.stateDir.empty() ? std::nullopt : std::optional<SettingsStore>(SettingsStore(settingsPath(0)))),
      fixedPort_(module_, ModulePort::Fixed), rs485Port_(module_, ModulePort::Rs485), gateway_(module_),
      modbus_(nullptr, kFixedPortBaud, &log_), schedule_(options_.passMs)
{
    module_.setWatchdogPeriodMs(options_.watchdogMs);
    module_.setFirmwareVersion(options_.firmwareVersion);
    gateway_.setHeartbeat(options_.heartbeat);
    faults_.setPlan(options_.faults);
    echo_ = options_.echo;
    adapter_.setLatencyMs(options_.latencyTimerMs);
    switch (options_.mode) {
    case SimMode::FixedPort:
        modbus_.setTarget(&fixedPort_);
        break;
    case SimMode::Rs485Port:
        // One module or several, each judging the tool's line.
        bus_.add(module_, rs485Port_);
        for (size_t i = 1; i < options_.busStations.size(); ++i) {
            std::optional<SettingsStore> store;
            if (!options_.stateDir.empty())
                store = SettingsStore(settingsPath(i));
            auto member = std::make_unique<BusMember>(std::move(store), static_cast<uint32_t>(i + 1));
            member->core.setWatchdogPeriodMs(options_.watchdogMs);
            member->core.setFirmwareVersion(options_.firmwareVersion);
            member->core.setFactoryStation(static_cast<uint16_t>(options_.busStations[i]));
            bus_.add(member->core, member->port);
            others_.push_back(std::move(member));
        }
        if (!options_.busStations.empty())
            module_.setFactoryStation(static_cast<uint16_t>(options_.busStations.front()));
        modbus_.setTarget(&bus_);
        break;
    case SimMode::Gateway:
        modbus_.setTarget(&gateway_);
        break;
    }
    personalities_.push_back(&modbus_);
    if (options_.bootloader) {
        boot_.setRealistic(options_.realisticBoot);
        boot_.setLog(&log_);
        boot_.chip().setOnGo([this](uint32_t) { goRequested_ = true; });
        // Readout Unprotect erases every page, the one with the stored settings too.
        boot_.chip().setOnFlashErased([this] {
            module_.eraseStoredSettings();
            log_.note("all flash erased: the stored settings are gone");
        });
        boot_.chip().setUniqueId(options_.uniqueId);
        boot_.chip().setReadProtected(options_.readProtected);
        for (const uint32_t page : options_.writeProtectedPages)
            boot_.chip().setWriteProtected(page, true);
        if (options_.productId != 0)
            boot_.chip().setProductId(options_.productId);
        personalities_.push_back(&boot_);
    }
}

Simulator::~Simulator()
{
    stop();
    closeAll();
}

std::string Simulator::settingsPath(size_t index) const
{
    if (options_.stateDir.empty())
        return {};
    if (options_.busStations.empty())
        return options_.stateDir + "/module-COM" + std::to_string(options_.com) + ".settings";
    // A folder of its own for each module of a bus, named by its place on the line.
    const size_t at = std::min(index, options_.busStations.size() - 1);
    return options_.stateDir + "/COM" + std::to_string(options_.com) + "-station-" +
           std::to_string(options_.busStations[at]) + "/settings";
}

ModuleCore &Simulator::moduleAt(size_t index)
{
    return index == 0 || index > others_.size() ? module_ : others_[index - 1]->core;
}

uint16_t Simulator::moduleReg(size_t index, uint32_t address)
{
    std::lock_guard lock(mutex_);
    return moduleAt(index).reg(address);
}

bool Simulator::open(std::string &error)
{
    if (pty_.isOpen())
        return true;
    std::error_code ec;
    for (size_t i = 0; i < moduleCount() && !options_.stateDir.empty(); ++i) {
        const std::string folder = std::filesystem::path(settingsPath(i)).parent_path().string();
        std::filesystem::create_directories(folder, ec);
        if (ec) {
            error = "cannot create state directory " + folder + ": " + ec.message();
            return false;
        }
    }
    if (!log_.open(options_.logPath)) {
        error = "cannot open log " + options_.logPath;
        return false;
    }
    if (pipe2(wakePipe_, O_NONBLOCK | O_CLOEXEC) != 0) {
        error = "pipe failed";
        return false;
    }
    // Raw at the port's own speed until the tool sets its line up.
    if (!pty_.open(options_.portDir + "/COM" + std::to_string(options_.com), B57600, error)) {
        closeAll();
        return false;
    }

    std::lock_guard lock(mutex_);
    start_ = std::chrono::steady_clock::now();
    powerCycleLocked(0);
    log_.note(std::string("module on ") + linkPath() + " -> " + ttyPath() + ", mode " + ModeName(options_.mode) +
              ", faults " + faults_.plan().describe() + (echo_ ? ", echo" : "") +
              (adapter_.enabled() ? ", adapter latency timer " + std::to_string(adapter_.latencyMs()) + " ms" : ""));
    return true;
}

bool Simulator::start(std::string &error)
{
    if (thread_.joinable())
        return true;
    if (!open(error))
        return false;
    stopRequested_ = false;
    thread_ = std::thread([this] { run(); });
    return true;
}

void Simulator::stop()
{
    requestStop();
    if (thread_.joinable())
        thread_.join();
}

void Simulator::closeAll()
{
    pty_.close();
    for (int *fd : {&wakePipe_[0], &wakePipe_[1]}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

void Simulator::requestStop()
{
    stopRequested_ = true;
    wake();
}

void Simulator::requestPowerCycle()
{
    powerCycleRequested_ = true;
    wake();
}

void Simulator::wake()
{
    if (wakePipe_[1] >= 0) {
        const char b = 1;
        [[maybe_unused]] ssize_t n = ::write(wakePipe_[1], &b, 1);
    }
}

void Simulator::setCommandChannel(int inFd, int outFd)
{
    std::lock_guard lock(mutex_);
    cmdIn_ = inFd;
    cmdOut_ = outFd;
}

uint64_t Simulator::nowMs() const
{
    return nowUs() / 1000;
}

uint64_t Simulator::nowUs() const
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start_).count());
}

void Simulator::run()
{
    while (!stopRequested_) {
        if (powerCycleRequested_.exchange(false))
            powerCycle();
        uint64_t timeoutUs = 0;
        bool watchMaster = true;
        {
            std::lock_guard lock(mutex_);
            const uint64_t now = nowUs();
            timeoutUs = runDue(now);
            // Without a listener on the tty end poll() reports a hang-up on every call:
            // look away from the master for a while instead of spinning on it.
            watchMaster = now / 1000 >= masterQuietUntil_ && !stalled_;
        }
        pollfd fds[3];
        nfds_t n = 0;
        const int masterAt = watchMaster ? static_cast<int>(n) : -1;
        if (watchMaster)
            fds[n++] = {pty_.master(), POLLIN, 0};
        const int wakeAt = static_cast<int>(n);
        fds[n++] = {wakePipe_[0], POLLIN, 0};
        const int cmdAt = cmdIn_ >= 0 ? static_cast<int>(n) : -1;
        if (cmdIn_ >= 0)
            fds[n++] = {cmdIn_, POLLIN, 0};
        // Answers paced to the line are due to the microsecond, finer than poll() waits.
        const timespec timeout{static_cast<time_t>(timeoutUs / 1000000), static_cast<long>(timeoutUs % 1000000) * 1000};
        if (ppoll(fds, n, &timeout, nullptr) < 0 && errno != EINTR)
            break;

        if (masterAt >= 0) {
            const short ev = fds[masterAt].revents;
            if (ev & POLLIN) {
                uint8_t buf[kReadChunk];
                const ssize_t got = ::read(pty_.master(), buf, sizeof buf);
                std::lock_guard lock(mutex_);
                if (got > 0)
                    lineBytes(buf, static_cast<size_t>(got), nowUs());
                else if (got < 0 && errno != EAGAIN && errno != EINTR)
                    masterQuietUntil_ = nowMs() + options_.passMs;
            } else if (ev & (POLLHUP | POLLERR)) {
                std::lock_guard lock(mutex_);
                masterQuietUntil_ = nowMs() + options_.passMs;
            }
        }
        if (fds[wakeAt].revents & POLLIN) {
            char drain[64];
            while (::read(wakePipe_[0], drain, sizeof drain) > 0) {
            }
        }
        if (cmdAt >= 0 && fds[cmdAt].revents)
            readCommands();
    }
}

uint64_t Simulator::runDue(uint64_t nowUs)
{
    const uint64_t now = nowUs / 1000;
    schedule_.runPasses(now, [this](uint64_t t) {
        if (boardPresent_)
            module_.pass(t);
        for (auto &m : others_)
            m->core.pass(t);
        if (options_.mode == SimMode::Gateway)
            gateway_.tick(t);
    });
    for (LinePersonality *p : personalities_)
        p->idle(now);
    while (schedule_.replyDue(nowUs))
        sendNext();
    if (adapter_.enabled())
        writeToTool(adapter_.take(nowUs));
    uint64_t nextUs = schedule_.nextDueUs();
    if (adapter_.enabled())
        nextUs = std::min(nextUs, adapter_.nextDueUs());
    return std::min<uint64_t>(nextUs > nowUs ? nextUs - nowUs : 0, kIdlePollMs * 1000);
}

void Simulator::sendNext()
{
    LineScheduler::Reply r = schedule_.takeReply();
    deliver(std::move(r.bytes), r.sent, r.dueUs);
}

size_t Simulator::writeToTool(const std::vector<uint8_t> &bytes)
{
    size_t done = 0;
    int waited = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(pty_.master(), bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            break;
        // Nobody reads the tty end and the pty is full: the reply is lost, as on a dead line.
        if (waited >= kWriteWaitMs)
            break;
        pollfd p{pty_.master(), POLLOUT, 0};
        poll(&p, 1, 1);
        ++waited;
    }
    return done;
}

uint64_t Simulator::charTimeUs() const
{
    const uint64_t speed = lastSpeed_ != 0 ? lastSpeed_ : kFallbackSpeed;
    return kBitsPerChar * 1000000 / speed;
}

void Simulator::toTool(const std::vector<uint8_t> &bytes, uint64_t startUs)
{
    if (!adapter_.enabled()) {
        writeToTool(bytes);
        return;
    }
    // Through the adapter the line's pace shows: bytes follow each other at the
    // line's speed, and a reply starts only once the line is free.
    const uint64_t start = std::max(startUs, lineFreeUs_);
    adapter_.arrive(bytes, start, charTimeUs());
    lineFreeUs_ = start + bytes.size() * charTimeUs();
    writeToTool(adapter_.take(nowUs()));
}

void Simulator::deliver(std::vector<uint8_t> bytes, const std::function<void()> &sent, uint64_t dueUs)
{
    size_t done = bytes.size();
    if (adapter_.enabled())
        toTool(bytes, dueUs);
    else
        done = writeToTool(bytes);
    log_.frame("tx", bytes.data(), done, done < bytes.size() ? "line blocked, reply cut" : "");
    if (done == bytes.size() && sent)
        sent();
}

void Simulator::lineBytes(const uint8_t *data, size_t size, uint64_t nowUs)
{
    // The adapter hears its own request before anything else on the bus.
    if (echo_)
        toTool(std::vector<uint8_t>(data, data + size), nowUs);
    else if (adapter_.enabled())
        lineFreeUs_ = std::max(lineFreeUs_, nowUs) + size * charTimeUs();
    if (!boardPresent_) {
        log_.frame("rx", data, size, "no board on the fixture");
        return;
    }
    LinePersonality *chosen = takeLine(nowUs / 1000);
    if (!chosen) {
        log_.frame("rx", data, size, "wrong line speed");
        garble(size, nowUs);
        return;
    }
    if (chosen == &modbus_ && options_.mode == SimMode::Rs485Port) {
        bus_.setToolLine(toolLine_);
        if (!bus_.hearsLine()) {
            log_.frame("rx", data, size, "wrong character format");
            garble(size, nowUs);
            return;
        }
    }
    std::vector<LineReply> replies;
    chosen->receiveAt(data, size, nowUs, replies);
    queueReplies(replies, nowUs);
}

LinePersonality *Simulator::takeLine(uint64_t now)
{
    LineReadback rb;
    if (ReadLineSettingsTermios2(pty_.master(), rb)) {
        lastSpeed_ = rb.ospeed;
        toolLine_ = ToolLineFromPty(rb);
    }
    LinePersonality *chosen = nullptr;
    for (LinePersonality *p : personalities_)
        if (p->runsAt(lastSpeed_))
            chosen = p;
    if (!chosen) {
        ++speedWarnings_;
        if (warnedSpeed_ != lastSpeed_) {
            warnedSpeed_ = lastSpeed_;
            const std::string text = "warning: the tool talks at " + std::to_string(lastSpeed_) +
                                     " baud, the port runs at " + std::to_string(modbus_.lineSpeed()) +
                                     "; its bytes arrive as garbage and get no answer";
            std::fprintf(stderr, "talvex-sim: %s\n", text.c_str());
            log_.note(text);
        }
        return nullptr;
    }
    warnedSpeed_ = 0;
    if (chosen != active_) {
        if (active_ == &boot_)
            leaveBootloader(now);
        if (active_)
            active_->reset();
        active_ = chosen;
    }
    return chosen;
}

void Simulator::garble(size_t heard, uint64_t nowUs)
{
    if (!options_.garbleWrongLine || heard == 0)
        return;
    std::vector<uint8_t> bytes(std::min(heard, kMaxGarbleBytes));
    for (uint8_t &b : bytes) {
        // xorshift32: the same garbage for the same run, no CRC to speak of.
        garbleState_ ^= garbleState_ << 13;
        garbleState_ ^= garbleState_ >> 17;
        garbleState_ ^= garbleState_ << 5;
        b = static_cast<uint8_t>(garbleState_);
    }
    log_.frame("tx", bytes.data(), bytes.size(), "garbage: the tool is on another line");
    toTool(bytes, nowUs);
}

void Simulator::queueReplies(std::vector<LineReply> &replies, uint64_t nowUs)
{
    for (LineReply &r : replies) {
        std::string remark;
        if (!faults_.apply(r.bytes, remark)) {
            log_.frame("tx", r.bytes.data(), r.bytes.size(), remark + ", not sent");
            continue;
        }
        if (!remark.empty())
            log_.note(remark);
        const uint64_t dueUs = nowUs + uint64_t(faults_.plan().delayMs) * 1000 + r.delayUs;
        schedule_.queue({dueUs, std::move(r.bytes), std::move(r.sent)});
    }
    // Replies without delay leave at once; after a Go, everything the chip said
    // goes out before the module's program takes the line.
    while (schedule_.hasReply() && (schedule_.replyDue(nowUs) || goRequested_))
        sendNext();
    if (goRequested_) {
        leaveBootloader(nowUs / 1000);
        active_ = nullptr;
    }
}

void Simulator::powerCycleLocked(uint64_t now)
{
    for (size_t i = 0; i < moduleCount(); ++i)
        moduleAt(i).powerUp(now);
    gateway_.moduleRestarted(now);
    for (LinePersonality *p : personalities_)
        p->reset();
    schedule_.restart(now);
    if (options_.mode == SimMode::Rs485Port)
        modbus_.setLineSpeeds(bus_.speeds());
    else
        modbus_.setLineSpeed(kFixedPortBaud);
    for (size_t i = 0; i < moduleCount(); ++i) {
        const ModuleCore &m = moduleAt(i);
        const AppliedSettings &a = m.applied();
        const std::string line = options_.mode == SimMode::Rs485Port
                                     ? std::string(kBaud485Texts[a.baud485Index]) + " " + kDat485Texts[a.dat485Index]
                                     : std::to_string(kFixedPortBaud) + " 8 E 1";
        log_.note("module start: station " + std::to_string(a.station) + ", line " + line +
                  (m.hasStoredSettings() ? ", stored settings" : ", default settings"));
    }
}

void Simulator::leaveBootloader(uint64_t now)
{
    goRequested_ = false;
    if (boot_.blocksSinceModule() > 0) {
        module_.setFirmwareVersion(options_.imageVersion);
        log_.note("flash written: the module restarts with version " + std::to_string(options_.imageVersion));
    }
    powerCycleLocked(now);
    boot_.moduleStarted();
}

void Simulator::removeBoard()
{
    std::lock_guard lock(mutex_);
    boardPresent_ = false;
    // What the board still owed the line goes with it.
    schedule_.restart(nowMs());
    goRequested_ = false;
    if (active_)
        active_->reset();
    active_ = nullptr;
    log_.note("board taken off the fixture: the line is silent");
}

stm32::UniqueId Simulator::insertBoard(std::optional<stm32::UniqueId> id)
{
    std::lock_guard lock(mutex_);
    const stm32::UniqueId next = id ? *id : NextUniqueId(boot_.chip().uniqueId());
    boot_.newBoard(next);
    module_.eraseStoredSettings();
    module_.setFirmwareVersion(StockFirmwareVersion(options_.imageVersion));
    boardPresent_ = true;
    goRequested_ = false;
    active_ = nullptr;
    log_.note("new board on the fixture: unique ID " + UniqueIdText(next) + ", version " +
              std::to_string(StockFirmwareVersion(options_.imageVersion)) + ", nothing stored");
    powerCycleLocked(nowMs());
    return next;
}

bool Simulator::boardPresent()
{
    std::lock_guard lock(mutex_);
    return boardPresent_;
}

stm32::UniqueId Simulator::uniqueId()
{
    std::lock_guard lock(mutex_);
    return boot_.chip().uniqueId();
}

void Simulator::withBootloader(const std::function<void(BootloaderPersonality &)> &fn)
{
    std::lock_guard lock(mutex_);
    fn(boot_);
}

void Simulator::powerCycle()
{
    std::lock_guard lock(mutex_);
    if (!boardPresent_)
        return;
    powerCycleLocked(nowMs());
}

void Simulator::readCommands()
{
    char buf[kReadChunk];
    const ssize_t n = ::read(cmdIn_, buf, sizeof buf);
    if (n <= 0) {
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            // End of input: the simulator runs on until it is stopped by a signal.
            std::lock_guard lock(mutex_);
            cmdIn_ = -1;
        }
        return;
    }
    for (ssize_t i = 0; i < n; ++i) {
        if (buf[i] != '\n') {
            if (cmdLine_.size() < kMaxCommandLine)
                cmdLine_ += buf[i];
            continue;
        }
        const std::string answer = command(cmdLine_) + "\n";
        cmdLine_.clear();
        if (cmdOut_ >= 0) {
            [[maybe_unused]] ssize_t w = ::write(cmdOut_, answer.data(), answer.size());
        }
    }
}

std::string Simulator::command(const std::string &line)
{
    return RunSimCommand(*this, line);
}

uint16_t Simulator::reg(uint32_t address)
{
    std::lock_guard lock(mutex_);
    return module_.reg(address);
}

void Simulator::setReg(uint32_t address, uint16_t value)
{
    std::lock_guard lock(mutex_);
    module_.setReg(address, value);
}

void Simulator::setFaults(const FaultPlan &plan)
{
    std::lock_guard lock(mutex_);
    faults_.setPlan(plan);
    log_.note("faults " + faults_.plan().describe());
}

FaultPlan Simulator::faults()
{
    std::lock_guard lock(mutex_);
    return faults_.plan();
}

void Simulator::setStalled(bool on)
{
    {
        std::lock_guard lock(mutex_);
        stalled_ = on;
        log_.note(on ? "stalled: the line is not read" : "reading the line again");
    }
    wake();
}

void Simulator::setEcho(bool on)
{
    std::lock_guard lock(mutex_);
    echo_ = on;
    log_.note(on ? "echo: the tool hears its own bytes" : "no echo");
}

void Simulator::setLatencyTimerMs(uint32_t ms)
{
    std::lock_guard lock(mutex_);
    adapter_.setLatencyMs(ms);
    log_.note("adapter latency timer " + std::to_string(ms) + " ms");
}

void Simulator::setHeartbeat(bool on)
{
    std::lock_guard lock(mutex_);
    gateway_.setHeartbeat(on);
}

bool Simulator::heartbeat()
{
    std::lock_guard lock(mutex_);
    return gateway_.heartbeat();
}

void Simulator::setWatchdogPeriodMs(uint32_t ms)
{
    std::lock_guard lock(mutex_);
    module_.setWatchdogPeriodMs(ms);
}

uint32_t Simulator::outputSteps(int channel)
{
    std::lock_guard lock(mutex_);
    return module_.outputSteps(channel);
}

bool Simulator::fullAccess()
{
    std::lock_guard lock(mutex_);
    return module_.fullAccess();
}

uint32_t Simulator::lastLineSpeed()
{
    std::lock_guard lock(mutex_);
    return lastSpeed_;
}

uint32_t Simulator::speedWarnings()
{
    std::lock_guard lock(mutex_);
    return speedWarnings_;
}

uint32_t Simulator::portSpeed()
{
    std::lock_guard lock(mutex_);
    return modbus_.lineSpeed();
}

void Simulator::addPersonality(LinePersonality *personality)
{
    std::lock_guard lock(mutex_);
    if (personality)
        personalities_.push_back(personality);
}

}  // namespace talvex::sim
