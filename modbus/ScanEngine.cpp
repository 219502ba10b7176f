#include "modbus/ScanEngine.h"

#include "serial/QRT_ComDrv.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t kProbeReplySize = kReadReplyOverhead + 2 * kProbeCount;
constexpr size_t kModuleReplySize = kReadReplyOverhead + 2 * kModuleReadCount;
// Bytes kept after a look at the buffer: the start of a reply still arriving.
constexpr size_t kKeptTail = kModuleReplySize - 1;
constexpr int kPercent = 100;

}  // namespace

TScanEngine::TScanEngine(TQRTCommDriver &driver, QObject *parent) : QObject(parent), driver_(driver)
{
    deadline_.setSingleShot(true);
    deadline_.setTimerType(Qt::PreciseTimer);
    connect(&deadline_, &QTimer::timeout, this, &TScanEngine::OnDeadline);
}

TScanEngine::~TScanEngine()
{
    // Closes a port it opened; nobody is told any more.
    deadline_.stop();
    if (opened_)
        driver_.Close();
}

bool TScanEngine::Start(const TScanRequest &request)
{
    if (running_)
        return false;
    std::vector<TProbe> order = ScanOrder(request);
    if (order.empty())
        return false;
    request_ = request;
    request_.TurnaroundMs = std::min(request_.TurnaroundMs, kMaxTurnaroundMs);
    order_ = std::move(order);
    next_ = 0;
    recent_.clear();
    candidates_.clear();
    found_.clear();
    heard_.clear();
    phase_ = Phase::Probe;
    lineSet_ = false;
    drained_ = false;
    opened_ = false;
    probesSent_ = 0;
    plannedMs_ = 0;
    running_ = true;
    clock_.start();
    Next();
    return true;
}

void TScanEngine::Stop()
{
    if (running_)
        Finish(TScanEnd::Stopped);
}

void TScanEngine::OnDeadline()
{
    if (!running_)
        return;
    driver_.PollReceive();
    if (driver_.DeviceLost() || !driver_.IsOpen())
        return Finish(TScanEnd::PortFailed);
    Judge();
    if (running_)
        Next();
}

void TScanEngine::Judge()
{
    const uint8_t *bytes = driver_.RxBuffer;
    const size_t count = std::min<size_t>(driver_.RxCount, TQRTCommDriver::kRxBufferSize);
    size_t keepFrom = count > kKeptTail ? count - kKeptTail : 0;

    // Answers to probes, this one's or a few before it on this line: each becomes a
    // candidate for the confirming read, once.
    for (const TFoundReply &r : FindReplies(bytes, count, kProbeCount)) {
        keepFrom = std::max(keepFrom, r.At + kProbeReplySize);
        const TProbe heard{r.Station, line_};
        if (std::find(recent_.begin(), recent_.end(), r.Station) == recent_.end() ||
            std::find(heard_.begin(), heard_.end(), heard) != heard_.end())
            continue;
        heard_.push_back(heard);
        candidates_.push_back({r.Station, r.Words[0]});
    }
    if (phase_ == Phase::Confirm && !candidates_.empty())
        keepFrom = std::max(keepFrom, JudgeConfirm(bytes, count));
    if (!running_)
        return;
    std::memmove(driver_.RxBuffer, driver_.RxBuffer + keepFrom, count - keepFrom);
    driver_.RxCount = static_cast<uint16_t>(count - keepFrom);
}

size_t TScanEngine::JudgeConfirm(const uint8_t *bytes, size_t count)
{
    Candidate &c = candidates_.front();
    size_t end = 0;
    for (const TFoundReply &r : FindReplies(bytes, count, kModuleReadCount)) {
        end = r.At + kModuleReplySize;
        // The same station, and the version its probe answered with.
        if (r.Station != c.Station || r.Words[Reg::FW_Version - kModuleReadFirst] != c.Firmware)
            continue;
        TFoundModule module{c.Station, line_, r.Words};
        candidates_.pop_front();
        const bool repeat = std::any_of(found_.begin(), found_.end(),
                                        [&](const TFoundModule &f) { return f.SameModule(module); });
        if (!repeat) {
            found_.push_back(module);
            emit ModuleFound(module);
            if (!request_.All)
                Finish(TScanEnd::FirstFound);
        }
        return end;
    }
    if (++c.Attempts >= kConfirmAttempts)
        candidates_.pop_front();
    return end;
}

void TScanEngine::Next()
{
    if (!candidates_.empty()) {
        phase_ = Phase::Confirm;
        Send(ModuleReadRequest(candidates_.front().Station),
             ExchangeWaitMs(line_, kModuleReadCount, request_.TurnaroundMs));
        return;
    }
    const bool lineEnds = next_ >= order_.size() || order_[next_].Line != line_;
    if (lineSet_ && lineEnds && !drained_ && !recent_.empty()) {
        // The last probes of a line get one more wait before the line changes.
        drained_ = true;
        phase_ = Phase::Drain;
        Wait(ProbeWaitMs(line_, request_.TurnaroundMs));
        return;
    }
    if (next_ >= order_.size())
        return Finish(TScanEnd::Completed);
    const TProbe probe = order_[next_];
    if (!UseLine(probe.Line))
        return Finish(TScanEnd::PortFailed);
    ++next_;
    phase_ = Phase::Probe;
    recent_.push_back(probe.Station);
    if (recent_.size() > size_t{kLateProbes} + 1)
        recent_.erase(recent_.begin());
    ++probesSent_;
    Send(ProbeRequest(probe.Station), ProbeWaitMs(probe.Line, request_.TurnaroundMs));
    const int total = static_cast<int>(order_.size());
    emit Progress({probesSent_, total, probe, probesSent_ * kPercent / total});
}

bool TScanEngine::UseLine(TModbusLine line)
{
    if (lineSet_ && line == line_ && driver_.IsOpen())
        return true;
    const LineFormat format = LineFormatOf(line);
    if (!driver_.IsOpen()) {
        if (!OpenWithLine(driver_, format))
            return false;
        opened_ = true;
    } else {
        // Set on the open port: opening it again would restart a module whose
        // reset hangs on DTR. Each setter applies at once and empties the queues.
        driver_.SetComPortSpeed(format.speed);
        driver_.SetComPortDataBits(format.dataBits);
        driver_.SetComPortParity(format.parity);
        driver_.SetComPortStopBits(format.stopBits);
    }
    driver_.RxCount = 0;
    line_ = line;
    lineSet_ = true;
    drained_ = false;
    recent_.clear();
    return driver_.IsOpen();
}

void TScanEngine::Send(const RequestFrame &frame, uint32_t waitMs)
{
    driver_.SendData(frame.data(), static_cast<int32_t>(frame.size()));
    Wait(waitMs);
}

void TScanEngine::Wait(uint32_t waitMs)
{
    plannedMs_ += waitMs;
    deadline_.start(static_cast<int>(waitMs));
}

void TScanEngine::Finish(TScanEnd end)
{
    deadline_.stop();
    running_ = false;
    if (opened_)
        driver_.Close();
    opened_ = false;
    emit Finished(end);
}
