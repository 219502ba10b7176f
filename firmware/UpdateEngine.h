#pragma once
// The firmware update on a Qt event loop: the update core (UpdateCore.h) ticked
// by a 3 ms step timer and a 1 s time-out timer, its reports as signals. Shows
// nothing itself: a window or a command line words what it reports.
#include "firmware/UpdateCore.h"
#include "firmware/UpdateReport.h"
#include "serial/QRT_ComDrv.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

class TUpdateEngine : public QObject, private TUpdateCore::Events {
    Q_OBJECT
public:
    // A millisecond tick count that wraps, read with unsigned differences.
    using NowFn = std::function<uint32_t()>;
    using SleepFn = TUpdateCore::SleepFn;
    // The update's time. Production: GetTickCount and SleepMs. A test hands in a
    // clock of its own whose waits only move it on.
    struct Clock {
        NowFn now;
        SleepFn sleep;
    };
    using ImageLoaderFn = TUpdateCore::ImageLoaderFn;
    // Asked before each further run the time-out starts, which opens what the
    // port selection says by then; false ends the start there, as a last run would.
    using RetryGuardFn = std::function<bool()>;

    // driver: the port the update talks through; it must outlive the engine. The
    // engine takes the driver's OnReceiveData, to act on a reply as soon as it is in.
    explicit TUpdateEngine(TQRTCommDriver &driver, QObject *parent = nullptr);
    ~TUpdateEngine() override;

    // Which port a run opens: list index 0 ... 7 for COM1 ... COM8 (ComPortOfIndex).
    void SetPortIndex(int index) { core_.SetPortIndex(index); }
    // A device path opened instead of the COM name; empty (the default) uses the index.
    void SetDevicePath(const std::string &path) { core_.SetDevicePath(path); }

    // Defaults: the real clock with a blocking sleep of the GUI thread, and the
    // carried image. A member left empty takes the real one.
    void SetClock(Clock clock);
    void SetSleep(SleepFn sleep) { core_.SetSleep(std::move(sleep)); }
    void SetImageLoader(ImageLoaderFn loader) { core_.SetImageLoader(std::move(loader)); }
    // Steps beyond the window's update; the defaults are the window's. With
    // waitByTimer the line sequences wait on WaitT instead of the SleepFn.
    void SetOptions(const TUpdateOptions &options) { core_.SetOptions(options); }
    // None (the default): every further run starts.
    void SetRetryGuard(RetryGuardFn guard) { retryGuard_ = std::move(guard); }

    // The state machine: what it holds and what the last run learnt.
    const TUpdateCore &Core() const { return core_; }
    // For tests that hand in the time themselves, or jump into a run.
    TUpdateCore &Core() { return core_; }

    // The entries below run one at a time, each to its end: one called while
    // another runs (a receiver of a signal ran the event loop) waits until that
    // one has ended, then runs.

    // A press of the start button: the run count starts again, then a run.
    void Start();
    // One run: opens the port, starts the bootloader, sends the sync byte, starts both timers.
    void STM_ISP();
    // One step of the state machine: on Timer5's tick, and as soon as the driver
    // has received bytes while Timer5 runs.
    void Timer5Timer();
    // One tick of the time-out (OvertimeT's tick).
    void OvertimeTTimer();
    // The end of a wait by timer (WaitT's tick): the line sequence goes on.
    void WaitTTimer();
    // Ends a run where it is, without a further run or `finished`: both timers
    // stop, entries still waiting are dropped, a chip put into its bootloader is
    // restarted into its program, and the port closes. The state stays, so the
    // caller can tell where the run was stopped. The engine's destruction mid-run
    // does the same.
    void Stop();

    QTimer Timer5;     // step timer, 3 ms
    QTimer OvertimeT;  // time-out timer, 1000 ms
    QTimer WaitT;      // a wait of a line sequence, single shot (TUpdateOptions::waitByTimer)

signals:
    // What the status line shows, as a value: see TUpdateNotice for `value`.
    void noticed(TUpdateNotice notice, int value);
    // The write progress in percent; 0 again at the end of every run.
    void progressChanged(int percent);
    // The port could not be opened. comNumber: the port index + 1; device: the path tried.
    void portOpenFailed(int comNumber, const QString &device);
    // The start has ended: after the last block, the third failed run, or a port that would not open.
    void finished(TUpdateOutcome outcome);
    // The port refused to set DTR or RTS in the line sequence (a pty, or an adapter
    // without those lines): the chip was not put into its bootloader by the tool.
    void modemLinesRefused();
    // The stage, each time it changes, and the progress within it: percent of the
    // image written or verified, 0 elsewhere.
    void stageChanged(TUpdateStage stage, int percent);
    // A run failed (before the next run starts, if any).
    void runFailed(const TUpdateFailure &failure);

private:
    enum class Entry { Start, Run, Step, Tick, Resume };
    void enter(Entry entry);
    void run(Entry entry);
    void replyArrived();

    // TUpdateCore::Events: the core's reports, passed on as signals.
    void onTimer(TUpdateCore::Timer timer, bool on) override;
    void onWait(uint32_t ms) override { WaitT.start(static_cast<int>(ms)); }
    void onNotice(TUpdateNotice notice, int value) override { emit noticed(notice, value); }
    void onProgress(int percent) override { emit progressChanged(percent); }
    void onStage(TUpdateStage stage, int percent) override { emit stageChanged(stage, percent); }
    void onPortOpenFailed(int comNumber, const std::string &device) override
    {
        emit portOpenFailed(comNumber, QString::fromStdString(device));
    }
    void onModemLinesRefused() override { emit modemLinesRefused(); }
    void onRunFailed(const TUpdateFailure &failure) override { emit runFailed(failure); }
    void onFinished(TUpdateOutcome outcome) override { emit finished(outcome); }
    bool mayRetry() override { return !retryGuard_ || retryGuard_(); }

    TQRTCommDriver &ComDriver;
    TUpdateCore core_;
    NowFn now_;
    RetryGuardFn retryGuard_;
    // An entry sends bytes and emits signals whose receivers may run an event
    // loop; the entries that come due meanwhile (a reply, a tick, a press) run
    // after it, in order, not inside it.
    bool entered_ = false;
    std::deque<Entry> waiting_;
};
