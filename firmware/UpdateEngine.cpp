#include "firmware/UpdateEngine.h"

#include "firmware/Isp.h"
#include "serial/Clock.h"

#include <algorithm>

TUpdateEngine::TUpdateEngine(TQRTCommDriver &driver, QObject *parent)
    : QObject(parent), ComDriver(driver), core_(driver, *this), now_(GetTickCount)
{
    OvertimeT.setObjectName("OvertimeT");
    // A coarse timer may tick up to 5 % early; the allowance is whole seconds.
    OvertimeT.setTimerType(Qt::PreciseTimer);
    OvertimeT.setInterval(Isp::kOvertimeIntervalMs);
    connect(&OvertimeT, &QTimer::timeout, this, &TUpdateEngine::OvertimeTTimer);
    Timer5.setObjectName("Timer5");
    Timer5.setTimerType(Qt::PreciseTimer);
    Timer5.setInterval(Isp::kStepIntervalMs);
    connect(&Timer5, &QTimer::timeout, this, &TUpdateEngine::Timer5Timer);
    WaitT.setObjectName("WaitT");
    WaitT.setTimerType(Qt::PreciseTimer);
    WaitT.setSingleShot(true);
    connect(&WaitT, &QTimer::timeout, this, &TUpdateEngine::WaitTTimer);
    // The serial component takes bytes the moment they arrive; answering from
    // there saves the wait for the next tick on each of the ~185 replies.
    ComDriver.SetOnReceiveData([this](TQRTCommDriver *, const uint8_t *, int32_t) { replyArrived(); });
}

TUpdateEngine::~TUpdateEngine()
{
    // Destroyed mid-run (its window closed, the program quitting): the module
    // is restarted into its program before the port closes.
    // Whatever clock it was handed may be gone by now, and no timer fires any
    // more: the restart waits on the real clock, blocking.
    if (core_.Running()) {
        core_.SetSleep({});
        TUpdateOptions blocking = core_.Options();
        blocking.waitByTimer = false;
        core_.SetOptions(blocking);
        Stop();
    }
    ComDriver.SetOnReceiveData({});
}

void TUpdateEngine::SetClock(Clock clock)
{
    now_ = clock.now ? std::move(clock.now) : NowFn(GetTickCount);
    core_.SetSleep(std::move(clock.sleep));
}

// Switching on a running timer must not restart it: it keeps its phase.
void TUpdateEngine::onTimer(TUpdateCore::Timer timer, bool on)
{
    QTimer &t = timer == TUpdateCore::Timer::Step ? Timer5 : OvertimeT;
    if (!on)
        t.stop();
    else if (!t.isActive())
        t.start();
}

void TUpdateEngine::Start()
{
    enter(Entry::Start);
}

void TUpdateEngine::STM_ISP()
{
    enter(Entry::Run);
}

void TUpdateEngine::Timer5Timer()
{
    enter(Entry::Step);
}

void TUpdateEngine::OvertimeTTimer()
{
    enter(Entry::Tick);
}

void TUpdateEngine::WaitTTimer()
{
    enter(Entry::Resume);
}

void TUpdateEngine::Stop()
{
    WaitT.stop();
    waiting_.clear();
    core_.Stop();
}

void TUpdateEngine::enter(Entry entry)
{
    if (entered_) {
        // Steps are not counted: one step takes whatever bytes are in by then.
        if (entry != Entry::Step || std::find(waiting_.begin(), waiting_.end(), Entry::Step) == waiting_.end())
            waiting_.push_back(entry);
        return;
    }
    entered_ = true;
    run(entry);
    while (!waiting_.empty()) {
        const Entry next = waiting_.front();
        waiting_.pop_front();
        // A step is due only while the step timer runs.
        if (next != Entry::Step || Timer5.isActive())
            run(next);
    }
    entered_ = false;
}

void TUpdateEngine::run(Entry entry)
{
    const uint32_t now = now_();
    switch (entry) {
    case Entry::Start:
        core_.Start(now);
        break;
    case Entry::Run:
        core_.Run(now);
        break;
    case Entry::Step:
        core_.Step(now);
        break;
    case Entry::Resume:
        core_.Resume(now);
        break;
    case Entry::Tick:
        // OvertimeT's tick is the time-out's due moment, whatever the clock read
        // a moment before it says.
        core_.TimeOut(static_cast<int32_t>(now - core_.TimeOutDue()) < 0 ? core_.TimeOutDue() : now);
        break;
    }
}

void TUpdateEngine::replyArrived()
{
    // Timer5 stopped means no step is due: idle, loading the image, or after a
    // failed load until the time-out; bytes then wait as they would for a tick.
    if (Timer5.isActive())
        Timer5Timer();
}
