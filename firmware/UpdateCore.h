#pragma once
// The firmware update as a state machine over the port, without timers or an
// event loop: each state is a row of a table (what it awaits, when its reply is
// taken, whether that resets the time-out, what it sends, its stage, the next
// state). The caller hands in the time with every step and time-out; the
// Qt driver (UpdateEngine.h) ticks it from the two timers.
#include "firmware/IspMemory.h"
#include "firmware/UpdateReport.h"
#include "serial/QRT_ComDrv.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TUpdateCore {
public:
    // The update's states, each a row of the table, by what its reply is. The
    // window's eleven keep the numbers IspState() has always shown (1 ... 11,
    // 0 before the first run); the options' own follow them.
    enum class State : int32_t {
        Idle = 0,          // before the first run
        SyncAnswer,        // 1: the answer to the sync byte
        GetReply,          // 2: Get's command list
        GetIdReply,        // 3: Get ID's product ID
        FlashSizeCommand,  // 4: ACK of Read Memory for the flash-size word
        FlashSizeAddress,  // 5: ACK of its address
        FlashSizeData,     // 6: ACK and the word
        EraseCommand,      // 7: ACK of Erase Memory
        PageListOrBlock,   // 8: ACK of the page list, then of each block
        WriteCommand,      // 9: ACK of Write Memory
        WriteAddress,      // 10: ACK of its address
        LastBlock,         // 11: ACK of the last block
        UniqueIdCommand,   // 12 ... 14: the unique ID read
        UniqueIdAddress,
        UniqueIdData,
        VerifyCommand,  // 15 ... 17: a block read back (or read out)
        VerifyAddress,
        VerifyData,
        UnprotectAcks,       // 18: the two ACKs of Readout Unprotect
        Resync,              // 19: the sync answer after the chip's restart
        ProtectAcks,         // 20: the two ACKs of Readout Protect
        ProtectSync,         // 21: the sync answer after its restart
        ProtectCheck,        // 22: the answer to a Read Memory that must be refused
        OptionBytesCommand,  // 23 ... 25: the option bytes read
        OptionBytesAddress,
        OptionBytesData,
        WriteUnprotectAcks,  // 26: the two ACKs of Write Unprotect
    };
    static constexpr int kStates = int(State::LastBlock);
    // Bytes awaited in each state 1 ... 11 (index 0 unused).
    static constexpr uint8_t ReplyLength[kStates + 1] = {0, 1, 15, 5, 1, 1, 5, 1, 1, 1, 1, 1};
    // The numbers of the options' states, as IspState() shows them.
    static constexpr int kUniqueIdCommandState = int(State::UniqueIdCommand);
    static constexpr int kUniqueIdAddressState = int(State::UniqueIdAddress);
    static constexpr int kUniqueIdDataState = int(State::UniqueIdData);
    static constexpr int kVerifyCommandState = int(State::VerifyCommand);
    static constexpr int kVerifyAddressState = int(State::VerifyAddress);
    static constexpr int kVerifyDataState = int(State::VerifyData);
    static constexpr int kUnprotectState = int(State::UnprotectAcks);
    static constexpr int kResyncState = int(State::Resync);
    static constexpr int kProtectState = int(State::ProtectAcks);
    static constexpr int kProtectSyncState = int(State::ProtectSync);
    static constexpr int kProtectCheckState = int(State::ProtectCheck);
    static constexpr int kOptionBytesCommandState = int(State::OptionBytesCommand);
    static constexpr int kOptionBytesAddressState = int(State::OptionBytesAddress);
    static constexpr int kOptionBytesDataState = int(State::OptionBytesData);
    static constexpr int kWriteUnprotectState = int(State::WriteUnprotectAcks);
    static constexpr int kLastState = kWriteUnprotectState;
    static constexpr int kUniqueIdBytes = 12;
    // Seconds the manual boot entry repeats the sync byte for.
    static constexpr int kManualSyncSeconds = 30;

    // The core's two timers, which the driver runs.
    enum class Timer { Step, TimeOut };

    // What the core tells its driver. Every call is made in the middle of an
    // entry; a receiver that runs an event loop must not enter the core again.
    class Events {
    public:
        virtual ~Events() = default;
        virtual void onTimer(Timer timer, bool on) = 0;
        // A wait of `ms` by timer (TUpdateOptions::waitByTimer): call Resume once it has passed.
        virtual void onWait(uint32_t ms) = 0;
        virtual void onNotice(TUpdateNotice notice, int value) = 0;
        virtual void onProgress(int percent) = 0;
        virtual void onStage(TUpdateStage stage, int percent) = 0;
        virtual void onPortOpenFailed(int comNumber, const std::string &device) = 0;
        virtual void onModemLinesRefused() = 0;
        virtual void onRunFailed(const TUpdateFailure &failure) = 0;
        virtual void onFinished(TUpdateOutcome outcome) = 0;
        // Asked before each further run the time-out starts; false ends the start there.
        virtual bool mayRetry() = 0;
    };

    // Blocking wait of the line sequence and of the finish, in milliseconds.
    using SleepFn = std::function<void(uint32_t ms)>;
    // The image a run writes, or nothing when it cannot be loaded (FirmwareImage.h).
    using ImageLoaderFn = std::function<std::optional<QByteArray>()>;

    // driver: the port the update talks through; events: the driver. Both must outlive the core.
    TUpdateCore(TQRTCommDriver &driver, Events &events);

    void SetPortIndex(int index) { portIndex_ = index; }
    int PortIndex() const { return portIndex_; }
    void SetDevicePath(const std::string &path) { devicePath_ = path; }
    const std::string &DevicePath() const { return devicePath_; }
    void SetSleep(SleepFn sleep);
    void SetImageLoader(ImageLoaderFn loader);
    void SetOptions(const TUpdateOptions &options) { options_ = options; }
    const TUpdateOptions &Options() const { return options_; }

    // This core's own IspBuffer and ImageStream.
    const TIspMemory &Memory() const { return memory_; }
    // Loads the image through the loader into ImageStream and the image area of
    // IspBuffer, as each run does in its erase step; false when it cannot.
    bool LoadImage() { return memory_.Load(loadImage_()); }

    // The entries, each given the time it runs at (a millisecond tick count that
    // wraps); the core's own waits move that time on.
    // A press of the start button: the run count starts again, then a run.
    void Start(uint32_t now);
    // One run: opens the port, starts the bootloader, sends the sync byte, starts both timers.
    void Run(uint32_t now);
    // One step, whenever the caller has one due (the step timer, or bytes in):
    // takes the reply of the current state once enough bytes are in.
    void Step(uint32_t now);
    // The time-out at `now`: one tick when it runs and a tick has come due by
    // then. A tick held up by several intervals counts once, as a timer's does;
    // each interval counts from when the time-out started.
    void TimeOut(uint32_t now);
    // When the next tick of the time-out is due (meaningful while it runs).
    uint32_t TimeOutDue() const { return timeOutDue_; }
    // Both timers off and the port closed; the state stays, so the caller can
    // tell where the run stopped. A chip put into its bootloader is restarted
    // into its program first (by timer, when the waits are; a wait under way is
    // dropped).
    void Stop();
    // The end of a wait by timer (see Events::onWait): the line sequence goes on.
    void Resume(uint32_t now);
    // A wait by timer is under way: the core takes no step and no time-out until Resume.
    bool Waiting() const { return static_cast<bool>(afterWait_); }
    // A run is under way: one of the timers runs, or a wait.
    bool Running() const { return stepOn_ || timeOutOn_ || Waiting(); }

    // The update state, under the names the window has always used.
    int32_t IspState() const { return int32_t(state_); }
    State CurrentState() const { return state_; }
    uint8_t OvertimeCount() const { return overtimeCount_; }
    uint8_t RetryCount() const { return retryCount_; }
    // Runs this start has made so far (each one that opened the port).
    int Runs() const { return runs_; }
    bool PortOpened() const { return portOpened_; }
    uint32_t WriteAddress() const { return writeAddress_; }
    int32_t ImageOffset() const { return imageOffset_; }
    int32_t BytesLeft() const { return bytesLeft_; }
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
    // What the run did to the chip's protection: found it read-protected, removed
    // that (all flash erased), removed write protection, set read-out protection
    // and saw a read refused.
    bool FoundReadProtected() const { return foundReadProtected_; }
    bool Unprotected() const { return unprotected_; }
    bool WriteUnprotected() const { return writeUnprotected_; }
    bool Protected() const { return protected_; }
    // Pages to erase that the option bytes showed write-protected.
    const std::vector<uint8_t> &WriteProtectedPages() const { return writeProtectedPages_; }
    // A read-out (TUpdateOptions::readOnly): the bytes read, from the image area
    // of this core's IspBuffer, once the run is done.
    int32_t ReadSize() const { return readSize_; }
    const uint8_t *ReadOut() const;
    // Why the last run failed; cause None after a success.
    const TUpdateFailure &LastFailure() const { return failure_; }
    // The stage a state belongs to (by its number, as IspState() shows it).
    TUpdateStage StageOf(int32_t state) const;
    TUpdateStage StageOf(State state) const { return StageOf(int32_t(state)); }

    // For tests that start in the middle of a run: the state to be in, and for a
    // data block the place in the image it starts at.
    void JumpToStateForTest(int32_t state) { state_ = State(state); }
    void JumpToBlockForTest(int32_t imageOffset, int32_t bytesLeft, uint32_t writeAddress);

private:
    struct Row;
    // A Read Memory: where from and how many bytes.
    struct Read {
        uint32_t address;
        int count;
    };
    enum class Check { LastByteAck, GetReply, GetIdReply, Ack, TwoAcks, AnyByte };
    static const Row kTable[kLastState + 1];

    bool accepted(Check check, uint8_t lastByte) const;
    int awaited() const;
    void moveTo(State state);

    // What each state sends once its reply is taken; each returns the state it
    // goes to: the row's `next`, another state of the table it picks, or
    // kStayPut when it has ended the run itself.
    State sendGet(State next);
    State sendGetId(State next);
    State sendReadMemory(State next);
    State sendReadAddress(State next);
    State sendReadLength(State next);
    State afterFlashSize(State next);
    State takeUniqueId(State next);
    State eraseStep(State next);
    State sendWriteMemory(State next);
    State sendWriteAddress(State next);
    State writeStep(State next);
    State lastBlockTaken(State next);
    State verifyStep(State next);
    State startReadOut();
    // Erase, or first the unique ID: what follows the flash size and the option bytes.
    State towardsErase(State eraseState);
    // A NACK to the first read with TUpdateOptions::unprotect: Readout Unprotect
    // (or, after one, the refusal). True when it was dealt with.
    bool unprotectOnRefusedRead();
    State afterOptionBytes(State next);
    State restartedSync(State next);
    State afterResync(State next);
    State startProtect();
    State checkRefused(State next);

    // The four reads (the flash size, the unique ID, a block read back, the
    // option bytes), one per read state in the table's `read` column.
    Read currentRead() const;
    Read flashSizeRead() const;
    Read uniqueIdRead() const;
    Read blockRead() const;
    Read optionBytesRead() const;

    void startRun();
    void timeOutTick();
    void switchTimer(Timer timer, bool on);
    // Waits `ms` in a line sequence, then goes on with `then`: at once after a
    // blocking sleep, or from Resume when the waits are by timer. The step timer
    // rests meanwhile.
    void waitThen(uint32_t ms, std::function<void()> then);
    void sleep(uint32_t ms);
    void setProgress(int percent);
    void enterStage(TUpdateStage stage, int percent = 0);
    State finish();
    void verifyNextBlock();
    bool verifyBlock();
    void refuse(TUpdateCause cause);
    // A NACK where the options ask not to wait it out.
    void nacked();
    // The line sequence into the bootloader, then `then`.
    void enterBootloader(std::function<void()> then);
    // The end of every run that put the chip into its bootloader, and not followed
    // by another: reset held with the boot pin low, then released, so the module
    // runs its program (the new one, the old one, or none where the flash was
    // erased, as after a power cycle). Then the port closes, and `then` follows.
    void restartAndClose(std::function<void()> then = {});
    // What follows the line sequence of a run: the sync byte and both timers.
    void syncAfterEntry();
    // Ends the run where it is, whatever ended it (the last block, a time-out, a
    // refusal): both timers off, then either a further run or the module
    // restarted, the port closed and the start's outcome reported. A run that is
    // done says so first and reports the finish's stage.
    void endRun(TUpdateOutcome outcome, bool mayRunAgain);
    void sendSync();
    void send(const uint8_t *bytes, int count);
    void sendCommand(uint8_t code);
    void sendAddress(uint32_t address);
    void sendReadCount(int count);
    int32_t imageSize() const;
    // Which pages this run erases (erasePage_), and from them: whether image
    // byte `offset` lies in one, the first such byte at or after it, and where
    // its run of erased pages ends (at most the image's size).
    int pageCountToErase() const;
    bool erasedAt(int32_t offset) const;
    int32_t nextErased(int32_t offset) const;
    int32_t erasedRunEnd(int32_t offset) const;
    // Moves the next block past bytes in pages that are not erased.
    void skipToErased();

    TQRTCommDriver &ComDriver;
    Events &events_;
    TIspMemory memory_;
    // The command/reply area and the image area, under the name the update has always used.
    TIspBuffer &IspBuffer = memory_.IspBuffer();
    SleepFn sleep_;
    ImageLoaderFn loadImage_;
    int portIndex_ = 0;
    std::string devicePath_;
    TUpdateOptions options_;

    uint32_t now_ = 0;  // the time handed in, moved on by the core's own waits
    bool stepOn_ = false;
    bool timeOutOn_ = false;
    uint32_t timeOutDue_ = 0;          // next tick of the time-out, while it runs
    std::function<void()> afterWait_;  // what a wait by timer goes on with
    bool stepAfterWait_ = false;       // the step timer ran when the wait began

    State state_ = State::Idle;
    uint8_t overtimeCount_ = 0;
    uint8_t retryCount_ = 0;
    bool portOpened_ = false;
    uint32_t writeAddress_ = 0;
    int32_t imageOffset_ = 0;
    int32_t bytesLeft_ = 0;
    int progress_ = 0;

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
    int runs_ = 0;               // runs of this start that opened the port
    bool bootEntered_ = false;   // the lines put the chip into its bootloader, and it has not been restarted
    // Pages erased by this run, by number from the flash base (a page number is one byte).
    std::array<bool, 256> erasedPage_{};
    int32_t readSize_ = 0;  // bytes a read-out reads
    bool foundReadProtected_ = false;
    bool unprotected_ = false;
    bool writeUnprotected_ = false;
    bool protected_ = false;
    std::vector<uint8_t> writeProtectedPages_;
};
