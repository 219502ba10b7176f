#pragma once
// The firmware update without a window: starts the module's bootloader over
// DTR/RTS, then walks Get, Get ID, Read Memory, Erase and a Write Memory loop on a
// 3 ms step timer, watched by a 1 s time-out timer that restarts a stalled run, up
// to three runs per start. Runs on a Qt event loop; reports what a window or a
// command line shows through signals and shows nothing itself.
#include "QRT_ComDrv.h"
#include "UpdateReport.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

// How a start of the update ended.
enum class TUpdateOutcome {
    Done,           // the last block was acknowledged
    LinkFailed,     // the last of the three runs timed out
    PortNotOpened,  // a run could not open the port; no further run follows
    Refused,        // the run ended on something no further run mends (see LastFailure)
};

class TUpdateEngine : public QObject {
    Q_OBJECT
public:
    static constexpr int kStates = 11;
    // Bytes awaited in each state 1 ... 11 (index 0 unused).
    static constexpr uint8_t ReplyLength[kStates + 1] = {0, 1, 15, 5, 1, 1, 5, 1, 1, 1, 1, 1};
    // States the options add after the window's eleven: the unique-ID read
    // (12 ... 14) and the verify's reads (15 ... 17).
    static constexpr int kUniqueIdCommandState = 12;
    static constexpr int kUniqueIdAddressState = 13;
    static constexpr int kUniqueIdDataState = 14;
    static constexpr int kVerifyCommandState = 15;
    static constexpr int kVerifyAddressState = 16;
    static constexpr int kVerifyDataState = 17;
    static constexpr int kLastState = kVerifyDataState;
    static constexpr int kUniqueIdBytes = 12;
    // Seconds the manual boot entry repeats the sync byte for.
    static constexpr int kManualSyncSeconds = 30;

    // Blocking wait of the line sequence and of the finish, in milliseconds.
    using SleepFn = std::function<void(uint32_t ms)>;
    // A millisecond tick count that wraps, read with unsigned differences.
    using NowFn = std::function<uint32_t()>;
    // The update's time. Production: GetTickCount and SleepMs. A test hands in a
    // clock of its own whose waits only move it on.
    struct Clock {
        NowFn now;
        SleepFn sleep;
    };
    // Fills ImageStream and the image area of IspBuffer; false when it cannot.
    using ImageLoaderFn = std::function<bool()>;
    // Asked before each further run the time-out starts, which opens what the
    // port selection says by then; false ends the start there, as a last run would.
    using RetryGuardFn = std::function<bool()>;

    // driver: the port the update talks through; it must outlive the engine. The
    // engine takes the driver's OnReceiveData, to act on a reply as soon as it is in.
    explicit TUpdateEngine(TQRTCommDriver &driver, QObject *parent = nullptr);
    ~TUpdateEngine() override;

    // Which port a run opens: list index 0 ... 7 for COM1 ... COM8 (ComPortOfIndex).
    void SetPortIndex(int index) { portIndex_ = index; }
    int PortIndex() const { return portIndex_; }
    // A device path opened instead of the COM name; empty (the default) uses the index.
    void SetDevicePath(const std::string &path) { devicePath_ = path; }
    const std::string &DevicePath() const { return devicePath_; }

    // Defaults: the real clock with a blocking sleep of the GUI thread, and the
    // carried image. A member left empty takes the real one.
    void SetClock(Clock clock);
    void SetSleep(SleepFn sleep);
    void SetImageLoader(ImageLoaderFn loader);
    // Steps beyond the window's update; the defaults are the window's.
    void SetOptions(const TUpdateOptions &options) { options_ = options; }
    const TUpdateOptions &Options() const { return options_; }
    // None (the default): every further run starts.
    void SetRetryGuard(RetryGuardFn guard) { retryGuard_ = std::move(guard); }

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
    // Ends a run where it is, without a further run or `finished`: both timers
    // stop, entries still waiting are dropped and the port closes. The state
    // stays, so the caller can tell where the run was stopped.
    void Stop();
    // Time handed in, for a caller without an event loop: delivers the ticks of
    // Timer5 and OvertimeT that are due on the engine's clock, earliest first. A
    // timer held up by several intervals (a blocking wait) ticks once, as the
    // event loop's timers do; each interval counts from when the timer started.
    void RunDueTicks();

    // "Boot:" + high nibble + "." + low nibble, in decimal.
    static QString VersionText(uint8_t version);

    // Progress of the write, 0 ... 100, as last reported.
    int Progress() const { return progress_; }

    // What the chip told the last run (valid once that step was passed).
    uint8_t BootloaderVersion() const { return bootloaderVersion_; }
    uint16_t ProductId() const { return productId_; }
    // The flash-size word: KiB of main flash.
    uint16_t FlashSizeKiB() const { return flashSizeKiB_; }
    // The unique ID in the order read; empty unless read.
    const std::string &UniqueId() const { return uniqueId_; }
    bool Verified() const { return verified_; }
    // Why the last run failed; cause None after a success.
    const TUpdateFailure &LastFailure() const { return failure_; }
    // The stage a state belongs to.
    TUpdateStage StageOf(int32_t state) const;

    QTimer Timer5;     // step timer, 3 ms
    QTimer OvertimeT;  // time-out timer, 1000 ms

    // Update state. Tests and the window read and set these directly.
    int32_t IspState = 0;
    uint8_t OvertimeCount = 0;
    uint8_t RetryCount = 0;
    bool PortOpened = false;
    uint32_t WriteAddress = 0;
    int32_t ImageOffset = 0;
    int32_t BytesLeft = 0;

signals:
    // Every text of the status line, in order.
    void statusChanged(const QString &text);
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
    enum class Entry { Start, Run, Step, Tick };
    void enter(Entry entry);
    void run(Entry entry);
    void startRun();
    void timeOutTick();
    void step();
    void replyArrived();
    void setStatus(const QString &text);
    void setProgress(int percent);
    bool acceptReply(uint8_t lastByte);
    void act();
    void eraseStep();
    void writeStep();
    void finish();
    void enterStage(TUpdateStage stage, int percent = 0);
    void afterFlashSize();
    void sendReadCount(int count);
    void verifyNextBlock();
    bool verifyBlock();
    void endRun(TUpdateCause cause);
    void refuse(TUpdateCause cause);
    int replyLength() const;
    void enterBootloader();
    void sendSync();
    void send(const uint8_t *bytes, int count);
    void sendCommand(uint8_t code);
    void sendAddress(uint32_t address);

    void enable(QTimer &timer, uint32_t &dueMs);

    TQRTCommDriver &ComDriver;
    Clock clock_;
    uint32_t timer5DueMs_ = 0;     // next tick of Timer5 on clock_, while it runs
    uint32_t overtimeDueMs_ = 0;   // next tick of OvertimeT on clock_, while it runs
    ImageLoaderFn loadImage_;
    int portIndex_ = 0;
    std::string devicePath_;
    int progress_ = 0;
    TUpdateOptions options_;
    TUpdateStage stage_ = TUpdateStage::Connecting;
    int stagePercent_ = -1;
    uint8_t bootloaderVersion_ = 0;
    uint16_t productId_ = 0;
    uint16_t flashSizeKiB_ = 0;
    std::string uniqueId_;
    bool verified_ = false;
    TUpdateFailure failure_;
    // What the last rejected reply of the current state was, for the failure's cause.
    TUpdateCause rejected_ = TUpdateCause::NoAnswer;
    uint32_t blockAddress_ = 0;  // flash address of the block being written
    int32_t verifyOffset_ = 0;   // image offset of the block being read back
    int verifyCount_ = 0;        // bytes of that block
    int syncsSent_ = 0;          // sync bytes of this run (the manual entry repeats it)
    RetryGuardFn retryGuard_;
    // An entry sends bytes and emits signals whose receivers may run an event
    // loop; the entries that come due meanwhile (a reply, a tick, a press) run
    // after it, in order, not inside it.
    bool entered_ = false;
    std::deque<Entry> waiting_;
};
