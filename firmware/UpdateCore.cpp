#include "firmware/UpdateCore.h"

#include "firmware/FirmwareImage.h"
#include "firmware/Isp.h"
#include "firmware/UpdateCoreLayout.h"
#include "firmware/stm32/Stm32Protocol.h"
#include "serial/Clock.h"
#include "serial/LineFormat.h"

#include <algorithm>
#include <utility>

namespace {

constexpr int kAddressBytes = int(stm32::kAddressBytes);
constexpr int kWriteAlign = int(stm32::kWriteAlignment);
// A whole write block, count byte and checksum included, is built in the command area.
static_assert(1 + kMaxBlock + 1 <= int(kIspCommandLast) - kCmd + 1);

// Awaits of a read whose length the run decides: its ACK and the bytes asked for.
constexpr uint8_t kAwaitsReadCount = 0;
bool Later(uint32_t a, uint32_t b)
{
    return static_cast<int32_t>(a - b) > 0;
}

}  // namespace

struct TUpdateCore::Row {
    uint8_t awaits;      // bytes the step waits for (ReplyLength)
    Check accepted;      // when the reply is taken
    bool resetsTimeOut;  // OvertimeCount back to 0 once it is
    State (TUpdateCore::*send)(State next);
    TUpdateStage stage;
    State next;
    // The read a Read Memory state belongs to: where from and how many bytes.
    Read (TUpdateCore::*read)() const;
};

using S = TUpdateStage;
using C = TUpdateCore;
using St = TUpdateCore::State;

// The window's eleven states, then the unique-ID read, the verify's reads and
// the protection's states, each row at its state's number.
const C::Row C::kTable[kLastState + 1] = {
    /* Idle */ {0, Check::Ack, false, nullptr, S::Connecting, St::Idle, nullptr},
    /* SyncAnswer */ {ReplyLength[1], Check::LastByteAck, true, &C::sendGet, S::Connecting, St::GetReply, nullptr},
    /* GetReply */ {ReplyLength[2], Check::GetReply, true, &C::sendGetId, S::Identifying, St::GetIdReply, nullptr},
    /* GetIdReply */
    {ReplyLength[3], Check::GetIdReply, true, &C::sendReadMemory, S::Identifying, St::FlashSizeCommand, nullptr},
    /* FlashSizeCommand */
    {ReplyLength[4], Check::Ack, true, &C::sendReadAddress, S::FlashSize, St::FlashSizeAddress, &C::flashSizeRead},
    /* FlashSizeAddress */
    {ReplyLength[5], Check::Ack, true, &C::sendReadLength, S::FlashSize, St::FlashSizeData, &C::flashSizeRead},
    /* FlashSizeData */
    {ReplyLength[6], Check::Ack, true, &C::afterFlashSize, S::FlashSize, St::EraseCommand, &C::flashSizeRead},
    /* EraseCommand */ {ReplyLength[7], Check::Ack, true, &C::eraseStep, S::Erasing, St::PageListOrBlock, nullptr},
    /* PageListOrBlock */
    {ReplyLength[8], Check::Ack, true, &C::sendWriteMemory, S::Writing, St::WriteCommand, nullptr},
    // The allowance of one block covers all three of its exchanges: these two do not reset it.
    /* WriteCommand */
    {ReplyLength[9], Check::Ack, false, &C::sendWriteAddress, S::Writing, St::WriteAddress, nullptr},
    /* WriteAddress */ {ReplyLength[10], Check::Ack, false, &C::writeStep, S::Writing, St::PageListOrBlock, nullptr},
    /* LastBlock */ {ReplyLength[11], Check::Ack, false, &C::lastBlockTaken, S::Writing, St::VerifyCommand, nullptr},
    /* UniqueIdCommand */
    {1, Check::Ack, true, &C::sendReadAddress, S::UniqueId, St::UniqueIdAddress, &C::uniqueIdRead},
    /* UniqueIdAddress */ {1, Check::Ack, true, &C::sendReadLength, S::UniqueId, St::UniqueIdData, &C::uniqueIdRead},
    /* UniqueIdData */
    {1 + kUniqueIdBytes, Check::Ack, true, &C::takeUniqueId, S::UniqueId, St::EraseCommand, &C::uniqueIdRead},
    /* VerifyCommand */ {1, Check::Ack, true, &C::sendReadAddress, S::Verifying, St::VerifyAddress, &C::blockRead},
    /* VerifyAddress */ {1, Check::Ack, true, &C::sendReadLength, S::Verifying, St::VerifyData, &C::blockRead},
    /* VerifyData */
    {kAwaitsReadCount, Check::Ack, true, &C::verifyStep, S::Verifying, St::VerifyCommand, &C::blockRead},
    // Each protection command is acknowledged twice: when taken and when done;
    // then the chip restarts by itself and the run syncs again.
    /* UnprotectAcks */ {2, Check::TwoAcks, true, &C::restartedSync, S::Unprotecting, St::Resync, nullptr},
    /* Resync */ {1, Check::LastByteAck, true, &C::afterResync, S::Unprotecting, St::FlashSizeCommand, nullptr},
    /* ProtectAcks */ {2, Check::TwoAcks, true, &C::restartedSync, S::Protecting, St::ProtectSync, nullptr},
    /* ProtectSync */ {1, Check::LastByteAck, true, &C::afterResync, S::Protecting, St::ProtectCheck, nullptr},
    /* ProtectCheck */ {1, Check::AnyByte, true, &C::checkRefused, S::Protecting, St::SyncAnswer, nullptr},
    /* OptionBytesCommand */
    {1, Check::Ack, true, &C::sendReadAddress, S::WriteProtection, St::OptionBytesAddress, &C::optionBytesRead},
    /* OptionBytesAddress */
    {1, Check::Ack, true, &C::sendReadLength, S::WriteProtection, St::OptionBytesData, &C::optionBytesRead},
    /* OptionBytesData */
    {1 + Isp::kOptionBytesCount, Check::Ack, true, &C::afterOptionBytes, S::WriteProtection, St::EraseCommand,
     &C::optionBytesRead},
    /* WriteUnprotectAcks */ {2, Check::TwoAcks, true, &C::restartedSync, S::Unprotecting, St::Resync, nullptr},
};

TUpdateCore::TUpdateCore(TQRTCommDriver &driver, Events &events)
    : ComDriver(driver), events_(events), sleep_(SleepMs), loadImage_(LoadFirmwareImage)
{
}

void TUpdateCore::SetSleep(SleepFn sleep)
{
    sleep_ = sleep ? std::move(sleep) : SleepFn(SleepMs);
}

void TUpdateCore::SetImageLoader(ImageLoaderFn loader)
{
    loadImage_ = loader ? std::move(loader) : ImageLoaderFn(LoadFirmwareImage);
}

void TUpdateCore::JumpToBlockForTest(int32_t imageOffset, int32_t bytesLeft, uint32_t writeAddress)
{
    state_ = State::WriteAddress;
    imageOffset_ = imageOffset;
    bytesLeft_ = bytesLeft;
    writeAddress_ = writeAddress;
}

TUpdateStage TUpdateCore::StageOf(int32_t state) const
{
    if (state < 1 || state > kLastState)
        return TUpdateStage::Connecting;
    // PageListOrBlock waits for the page list's ACK until the first block has gone out.
    if (state == int32_t(State::PageListOrBlock) && imageOffset_ == 0)
        return TUpdateStage::Erasing;
    // A read-out reads with the verify's states.
    if (options_.readOnly && kTable[state].stage == TUpdateStage::Verifying)
        return TUpdateStage::Reading;
    return kTable[state].stage;
}

int TUpdateCore::awaited() const
{
    const uint8_t awaits = kTable[int(state_)].awaits;
    return awaits == kAwaitsReadCount ? 1 + verifyCount_ : awaits;
}

int32_t TUpdateCore::imageSize() const
{
    if (options_.readOnly)
        return readSize_;
    const auto &image = memory_.ImageStream();
    return static_cast<int32_t>(image ? image->size() : 0);
}

// Switching on a timer that runs changes nothing: it keeps its phase. The
// driver is told each time, so that a timer it was asked to stop runs again.
void TUpdateCore::switchTimer(Timer timer, bool on)
{
    bool &running = timer == Timer::Step ? stepOn_ : timeOutOn_;
    if (on && !running && timer == Timer::TimeOut)
        timeOutDue_ = now_ + static_cast<uint32_t>(Isp::kOvertimeIntervalMs);
    running = on;
    events_.onTimer(timer, on);
}

void TUpdateCore::waitThen(uint32_t ms, std::function<void()> then)
{
    if (!options_.waitByTimer) {
        sleep(ms);
        then();
        return;
    }
    // No reply is awaited while the lines settle; bytes that come in meanwhile
    // are dropped by the sync byte that follows, as the blocking wait would.
    stepAfterWait_ = stepOn_;
    if (stepOn_)
        switchTimer(Timer::Step, false);
    afterWait_ = std::move(then);
    events_.onWait(ms);
}

void TUpdateCore::Resume(uint32_t now)
{
    if (!afterWait_)
        return;
    now_ = now;
    const std::function<void()> then = std::move(afterWait_);
    afterWait_ = nullptr;
    if (std::exchange(stepAfterWait_, false))
        switchTimer(Timer::Step, true);
    then();
}

void TUpdateCore::sleep(uint32_t ms)
{
    sleep_(ms);
    now_ += ms;
}

void TUpdateCore::setProgress(int percent)
{
    progress_ = percent;
    events_.onProgress(percent);
}

void TUpdateCore::enterStage(TUpdateStage stage, int percent)
{
    if (stage == stage_ && percent == stagePercent_)
        return;
    stage_ = stage;
    stagePercent_ = percent;
    events_.onStage(stage, percent);
}

void TUpdateCore::send(const uint8_t *bytes, int count)
{
    ComDriver.SendData(bytes, count);
}

void TUpdateCore::sendCommand(uint8_t code)
{
    IspBuffer[kCmd] = code;
    IspBuffer[kCmd + 1] = static_cast<uint8_t>(~code);
    send(&IspBuffer[kCmd], 2);
}

void TUpdateCore::sendAddress(uint32_t address)
{
    // Most significant byte first, then the XOR of the four.
    uint8_t *a = &IspBuffer[kCmd];
    for (int i = 0; i < kAddressBytes; ++i)
        a[i] = static_cast<uint8_t>(address >> (8 * (kAddressBytes - 1 - i)));
    a[kAddressBytes] = stm32::Xor(a, kAddressBytes);
    send(a, kAddressBytes + 1);
}

void TUpdateCore::sendReadCount(int count)
{
    IspBuffer[kCmd] = static_cast<uint8_t>(count - 1);
    IspBuffer[kCmd + 1] = static_cast<uint8_t>(~IspBuffer[kCmd]);
    send(&IspBuffer[kCmd], 2);
}

void TUpdateCore::Start(uint32_t now)
{
    // A line sequence under way ends first (Stop drops it).
    if (Waiting())
        return;
    now_ = now;
    retryCount_ = 0;
    runs_ = 0;
    foundReadProtected_ = false;
    unprotected_ = false;
    writeUnprotected_ = false;
    protected_ = false;
    writeProtectedPages_.clear();
    startRun();
}

void TUpdateCore::Run(uint32_t now)
{
    if (Waiting())
        return;
    now_ = now;
    startRun();
}

void TUpdateCore::Stop()
{
    afterWait_ = nullptr;
    stepAfterWait_ = false;
    switchTimer(Timer::Step, false);
    switchTimer(Timer::TimeOut, false);
    restartAndClose([this] { ComDriver.Close(); });
}

void TUpdateCore::restartAndClose(std::function<void()> then)
{
    const auto close = [this, then = std::move(then)] {
        bootEntered_ = false;
        if (portOpened_)
            ComDriver.Close();
        if (then)
            then();
    };
    // Closing alone only drops the lines (with HUPCL), and nothing resets the
    // chip: it would stay in its bootloader until power-cycled. The manual entry
    // leaves it to the operator to release BOOT0 and reset the module.
    if (bootEntered_ && ComDriver.IsOpen() && options_.bootEntry != TBootEntry::Manual) {
        ComDriver.SetDtr(true);
        waitThen(options_.finishHoldMs, [this, close] {
            ComDriver.SetRts(false);
            ComDriver.SetDtr(false);
            close();
        });
        return;
    }
    close();
}

void TUpdateCore::endRun(TUpdateOutcome outcome, bool mayRunAgain)
{
    const bool done = outcome == TUpdateOutcome::Done;
    state_ = State::SyncAnswer;
    setProgress(0);
    if (done)
        events_.onNotice(TUpdateNotice::Done, 0);
    switchTimer(Timer::TimeOut, false);
    switchTimer(Timer::Step, false);
    if (!mayRunAgain) {
        // The manual entry touches no line: there is nothing to finish.
        if (done && options_.bootEntry != TBootEntry::Manual)
            enterStage(TUpdateStage::Finishing);
        // Let the chip restart into its program (the new one once done). Whether
        // closing the port would release DTR depends on the port's hang-up flag;
        // the module must not stay in reset for want of it.
        restartAndClose([this, outcome] { events_.onFinished(outcome); });
        return;
    }
    // Between the runs of one start nothing changes: the next run's boot entry
    // resets the chip anyway. The port closes before the next run is asked for,
    // which opens what the port selection says by then.
    if (portOpened_)
        ComDriver.Close();
    if (events_.mayRetry()) {
        startRun();
        return;
    }
    // No further run after all: the chip of the run just ended still runs its
    // bootloader. Its port (unchanged since that run) opens once more to restart it.
    const auto finished = [this, outcome] {
        bootEntered_ = false;
        events_.onFinished(outcome);
    };
    if (bootEntered_ && options_.bootEntry != TBootEntry::Manual && OpenWithLine(ComDriver, kBootloaderLine)) {
        restartAndClose(finished);
        return;
    }
    finished();
}

void TUpdateCore::startRun()
{
    portOpened_ = ComDriver.IsOpen();
    const TComPortNumber port = ComPortOfIndex(portIndex_);
    ComDriver.SetComPort(port);
    ComDriver.SetDevicePath(devicePath_);
    if (options_.bootEntry == TBootEntry::Inverted)
        ComDriver.SetLinesInverted(true);
    if (!OpenWithLine(ComDriver, kBootloaderLine)) {
        switchTimer(Timer::TimeOut, false);
        events_.onPortOpenFailed(static_cast<int>(port) + 1, ComDriver.DeviceName());
        events_.onFinished(TUpdateOutcome::PortNotOpened);
        return;
    }
    portOpened_ = true;
    ++runs_;
    enterBootloader([this] { syncAfterEntry(); });
}

void TUpdateCore::syncAfterEntry()
{
    state_ = State::SyncAnswer;
    failure_ = {};
    rejected_ = TUpdateCause::NoAnswer;
    verified_ = false;
    uniqueId_.clear();
    syncsSent_ = 0;
    sendSync();
    events_.onNotice(TUpdateNotice::Searching, 0);
    stagePercent_ = -1;  // every run reports its first stage anew
    enterStage(TUpdateStage::Connecting);
    overtimeCount_ = Isp::kOvertimeStart;
    switchTimer(Timer::TimeOut, true);
    switchTimer(Timer::Step, true);
}

void TUpdateCore::sendSync()
{
    IspBuffer[kCmd] = stm32::kSync;
    send(&IspBuffer[kCmd], 1);
    ComDriver.RxCount = 0;
    ++syncsSent_;
}

void TUpdateCore::Step(uint32_t now)
{
    now_ = now;
    if (state_ < State::SyncAnswer || state_ > State::WriteUnprotectAcks || Waiting())
        return;
    const int count = ComDriver.RxCount;
    if (count < awaited()) {
        // A NACK where a longer answer is due waits like any short reply, but
        // the run's failure can name it.
        if (count > 0 && state_ > State::SyncAnswer && ComDriver.RxBuffer[0] == stm32::kNack) {
            rejected_ = TUpdateCause::Refused;
            nacked();
        }
        return;
    }
    // The sync answer is judged by the last byte of the batch, so noise before it
    // does no harm; remember it before the copy is bounded to the reply area.
    const int bounded = std::min({count, int(kIspCommandLast), int(TQRTCommDriver::kRxBufferSize)});
    const uint8_t lastByte = ComDriver.RxBuffer[std::min(count, int(TQRTCommDriver::kRxBufferSize)) - 1];
    std::copy_n(ComDriver.RxBuffer, bounded, &IspBuffer[kIspCommandFirst]);
    ComDriver.RxCount = 0;
    const Row &row = kTable[int(state_)];
    // Whatever a step throws ends that step only; the run goes on from where it got.
    try {
        if (!accepted(row.accepted, lastByte)) {
            const uint8_t first = state_ == State::SyncAnswer ? lastByte : IspBuffer[kCmd];
            rejected_ = first == stm32::kNack ? TUpdateCause::Refused : TUpdateCause::BadReply;
            if (state_ == State::SyncAnswer)
                events_.onNotice(TUpdateNotice::NoContact, 0);
            else if (rejected_ == TUpdateCause::Refused)
                nacked();
            return;
        }
        rejected_ = TUpdateCause::NoAnswer;
        if (row.resetsTimeOut)
            overtimeCount_ = 0;
        const State next = (this->*row.send)(row.next);
        if (next != kStayPut)
            moveTo(next);
    } catch (...) {
    }
}

bool TUpdateCore::accepted(Check check, uint8_t lastByte) const
{
    const uint8_t *r = &IspBuffer[kCmd - 1];  // r[1] is the first byte received
    switch (check) {
    case Check::LastByteAck:
        // A chip that is already synchronised takes a repeated sync byte as half a
        // command and refuses the pair: that NACK says it is listening.
        return lastByte == stm32::kAck ||
               (options_.bootEntry == TBootEntry::Manual && syncsSent_ > 1 && lastByte == stm32::kNack);
    case Check::GetReply:
        // The command list starts with Get itself.
        return r[1] == stm32::kAck && r[2] == stm32::kGetCommandCount && r[4] == stm32::kCmdGet && r[15] == stm32::kAck;
    case Check::GetIdReply:
        return r[1] == stm32::kAck && r[2] == stm32::kProductIdBytesMinusOne && r[5] == stm32::kAck;
    case Check::TwoAcks:
        return r[1] == stm32::kAck && r[2] == stm32::kAck;
    case Check::AnyByte:
        return true;
    case Check::Ack:
        break;
    }
    return r[1] == stm32::kAck;
}

// A new state reports its stage when that differs; the progress within a stage
// is reported by the steps that make it.
void TUpdateCore::moveTo(State state)
{
    state_ = state;
    if (StageOf(state) != stage_)
        enterStage(StageOf(state));
}

TUpdateCore::State TUpdateCore::sendGet(State next)
{
    sendCommand(stm32::kCmdGet);
    events_.onNotice(TUpdateNotice::Connected, 0);
    return next;
}

TUpdateCore::State TUpdateCore::sendGetId(State next)
{
    bootloaderVersion_ = IspBuffer[kCmd + 2];
    sendCommand(stm32::kCmdGetId);  // fills bytes 1 and 2 only: the version in byte 3 stays
    events_.onNotice(TUpdateNotice::BootVersion, bootloaderVersion_);
    return next;
}

TUpdateCore::State TUpdateCore::sendReadMemory(State next)
{
    productId_ = static_cast<uint16_t>(IspBuffer[kCmd + 2] << 8 | IspBuffer[kCmd + 3]);
    // Another family's chip has other pages and other flash: nothing is erased on it.
    if (options_.productId != 0 && productId_ != options_.productId) {
        failure_.address = productId_;
        refuse(TUpdateCause::WrongChip);
        return kStayPut;
    }
    sendCommand(stm32::kCmdReadMemory);
    return next;
}

// The reads send their address and then their count the same way; the state's
// row says which read it is.
TUpdateCore::Read TUpdateCore::currentRead() const
{
    return (this->*kTable[int(state_)].read)();
}

TUpdateCore::Read TUpdateCore::flashSizeRead() const
{
    return {stm32::kFlashSizeRegister, Isp::kFlashSizeReadCount};
}

TUpdateCore::Read TUpdateCore::uniqueIdRead() const
{
    return {Isp::kUniqueIdAddress, kUniqueIdBytes};
}

TUpdateCore::Read TUpdateCore::blockRead() const
{
    return {options_.startAddress + static_cast<uint32_t>(verifyOffset_), verifyCount_};
}

TUpdateCore::Read TUpdateCore::optionBytesRead() const
{
    return {Isp::kOptionBytesAddress, Isp::kOptionBytesCount};
}

TUpdateCore::State TUpdateCore::sendReadAddress(State next)
{
    sendAddress(currentRead().address);
    return next;
}

TUpdateCore::State TUpdateCore::sendReadLength(State next)
{
    sendReadCount(currentRead().count);
    return next;
}

TUpdateCore::State TUpdateCore::eraseStep(State next)
{
    switchTimer(Timer::Step, false);
    // A failed load leaves the run in this state; its time-out ends it.
    if (!LoadImage()) {
        rejected_ = TUpdateCause::ImageNotLoaded;
        return kStayPut;
    }
    const int32_t size = imageSize();
    writeAddress_ = options_.startAddress;
    imageOffset_ = 0;
    bytesLeft_ = size;
    // The window's count: one page more than the whole pages, which covers the
    // partial last page, and one spare page when the size is an exact multiple.
    // An image placed by its file names its own pages.
    erasedPage_.fill(false);
    const int pages = pageCountToErase();
    // The count byte carries pages - 1 below 0xFF (the global erase), and the
    // list must hold a byte of the image: anything else is no image to write.
    if (pages < 1 || pages > kMaxErasePages) {
        rejected_ = TUpdateCause::ImageNotLoaded;
        return kStayPut;
    }
    for (int p = 0; p < pages && !options_.erasePages.empty(); ++p)
        erasedPage_[options_.erasePages[size_t(p)]] = true;
    if (nextErased(0) >= size) {
        rejected_ = TUpdateCause::ImageNotLoaded;
        return kStayPut;
    }
    uint8_t *req = &IspBuffer[kCmd];
    req[0] = static_cast<uint8_t>(pages - 1);
    for (int p = 0; p < pages; ++p)
        req[1 + p] = options_.erasePages.empty() ? static_cast<uint8_t>(p) : options_.erasePages[size_t(p)];
    req[1 + pages] = stm32::Xor(req, pages + 1);
    send(req, pages + 2);
    skipToErased();
    events_.onNotice(TUpdateNotice::Erasing, 0);
    switchTimer(Timer::Step, true);
    return next;
}

TUpdateCore::State TUpdateCore::sendWriteMemory(State next)
{
    blockAddress_ = writeAddress_;
    sendCommand(stm32::kCmdWriteMemory);
    return next;
}

TUpdateCore::State TUpdateCore::sendWriteAddress(State next)
{
    sendAddress(writeAddress_);
    return next;
}

TUpdateCore::State TUpdateCore::writeStep(State next)
{
    const int n = std::min<int32_t>({bytesLeft_, kMaxBlock, erasedRunEnd(imageOffset_) - imageOffset_});
    // The bootloader programs whole words only: a short last block is filled up
    // with the erased value, which leaves the flash beyond the image as it was.
    const int padded = (n + kWriteAlign - 1) / kWriteAlign * kWriteAlign;
    const uint8_t *data = &IspBuffer[kIspImageFirst + static_cast<size_t>(imageOffset_)];
    // Count byte, data, padding and checksum leave in one write: through a USB
    // adapter every write is a transfer of its own, and separate ones would put
    // gaps into the block that the bootloader has to wait out.
    uint8_t *frame = &IspBuffer[kCmd];
    frame[0] = static_cast<uint8_t>(padded - 1);
    std::copy_n(data, n, frame + 1);
    std::fill_n(frame + 1 + n, padded - n, stm32::kErasedByte);
    frame[1 + padded] = stm32::Xor(frame + 1, static_cast<size_t>(padded), frame[0]);
    send(frame, padded + 2);

    bytesLeft_ -= n;
    writeAddress_ += static_cast<uint32_t>(n);
    imageOffset_ += n;
    skipToErased();
    const int32_t size = imageSize();
    setProgress(size > 0 ? imageOffset_ * 100 / size : 0);
    events_.onNotice(TUpdateNotice::Written, progress_);
    enterStage(TUpdateStage::Writing, progress_);
    return bytesLeft_ > 0 ? next : State::LastBlock;
}

TUpdateCore::State TUpdateCore::lastBlockTaken(State next)
{
    if (!options_.verify)
        return finish();
    verifyOffset_ = 0;
    enterStage(TUpdateStage::Verifying, 0);
    verifyNextBlock();
    return next;
}

TUpdateCore::State TUpdateCore::finish()
{
    endRun(TUpdateOutcome::Done, false);
    return kStayPut;
}

void TUpdateCore::TimeOut(uint32_t now)
{
    now_ = now;
    if (!timeOutOn_ || Waiting() || Later(timeOutDue_, now))
        return;
    const auto interval = static_cast<uint32_t>(Isp::kOvertimeIntervalMs);
    timeOutDue_ += interval;
    if (!Later(timeOutDue_, now))
        timeOutDue_ = now + interval;
    timeOutTick();
}

void TUpdateCore::timeOutTick()
{
    const bool manualSync = options_.bootEntry == TBootEntry::Manual && state_ == State::SyncAnswer;
    if (manualSync) {
        // Once a second until the operator has the chip in its bootloader.
        if (syncsSent_ < kManualSyncSeconds) {
            sendSync();
            return;
        }
        overtimeCount_ = Isp::kOvertimeLimit;
    }
    if (++overtimeCount_ <= Isp::kOvertimeLimit)
        return;
    failure_.stage = StageOf(state_);
    failure_.cause = rejected_;
    failure_.address = failure_.stage == TUpdateStage::Writing ? blockAddress_ : 0;
    events_.onRunFailed(failure_);
    events_.onNotice(TUpdateNotice::LinkFailed, 0);
    // The manual entry has had its half minute; another run would only ask again.
    const bool another = ++retryCount_ < Isp::kMaxRuns && !manualSync;
    endRun(TUpdateOutcome::LinkFailed, another);
}
