#include "UpdateEngine.h"

#include "Clock.h"
#include "FirmwareImage.h"
#include "Isp.h"
#include "LineFormat.h"
#include "Stm32Protocol.h"
#include "UpdateEngineLayout.h"

#include <algorithm>

namespace {

const QString kSearching = QStringLiteral("正在查找设备。。。");
const QString kConnected = QStringLiteral("已成功连接");
const QString kNoContact = QStringLiteral("无法和设备通讯，请重新尝试");
const QString kErasing = QStringLiteral("正在擦除。。。");
const QString kProgress = QStringLiteral("写进度: ");
const QString kDone = QStringLiteral("上载完成！");
const QString kLinkFailed = QStringLiteral("连机失败！请检查通信线。");

constexpr int kAddressBytes = int(stm32::kAddressBytes);
constexpr int kWriteAlign = int(stm32::kWriteAlignment);
// A whole write block, count byte and checksum included, is built in the command area.
static_assert(1 + kMaxBlock + 1 <= int(kIspCommandLast) - kCmd + 1);

} // namespace

TUpdateEngine::TUpdateEngine(TQRTCommDriver &driver, QObject *parent)
    : QObject(parent), ComDriver(driver), clock_{GetTickCount, SleepMs}, loadImage_(LoadFirmwareImage)
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
    // The serial component takes bytes the moment they arrive; answering from
    // there saves the wait for the next tick on each of the ~185 replies.
    ComDriver.SetOnReceiveData([this](TQRTCommDriver *, const uint8_t *, int32_t) { replyArrived(); });
}

TUpdateEngine::~TUpdateEngine()
{
    ComDriver.SetOnReceiveData({});
}

void TUpdateEngine::SetClock(Clock clock)
{
    clock_.now = clock.now ? std::move(clock.now) : NowFn(GetTickCount);
    SetSleep(std::move(clock.sleep));
}

void TUpdateEngine::SetSleep(SleepFn sleep)
{
    clock_.sleep = sleep ? std::move(sleep) : SleepFn(SleepMs);
}

// Enabling a running timer must not restart it: it keeps its phase.
void TUpdateEngine::enable(QTimer &timer, uint32_t &dueMs)
{
    if (timer.isActive())
        return;
    timer.start();
    dueMs = clock_.now() + static_cast<uint32_t>(timer.interval());
}

void TUpdateEngine::RunDueTicks()
{
    struct Entry {
        QTimer *timer;
        uint32_t *due;
        void (TUpdateEngine::*tick)();
    };
    const Entry timers[] = {{&Timer5, &timer5DueMs_, &TUpdateEngine::Timer5Timer},
                            {&OvertimeT, &overtimeDueMs_, &TUpdateEngine::OvertimeTTimer}};
    for (;;) {
        const uint32_t now = clock_.now();
        const Entry *next = nullptr;
        for (const Entry &e : timers) {
            if (!e.timer->isActive() || static_cast<int32_t>(now - *e.due) < 0)
                continue;
            if (!next || static_cast<int32_t>(*e.due - *next->due) < 0)
                next = &e;
        }
        if (!next)
            return;
        const auto interval = static_cast<uint32_t>(next->timer->interval());
        *next->due += interval;
        if (static_cast<int32_t>(now - *next->due) >= 0)
            *next->due = now + interval;
        (this->*next->tick)();
    }
}

void TUpdateEngine::SetImageLoader(ImageLoaderFn loader)
{
    loadImage_ = loader ? std::move(loader) : ImageLoaderFn(LoadFirmwareImage);
}

QString TUpdateEngine::VersionText(uint8_t version)
{
    return QStringLiteral("Boot:") + QString::number(version >> 4) + QLatin1Char('.') +
           QString::number(version & 0x0F);
}

void TUpdateEngine::setStatus(const QString &text)
{
    emit statusChanged(text);
}

void TUpdateEngine::setProgress(int percent)
{
    progress_ = percent;
    emit progressChanged(percent);
}

void TUpdateEngine::send(const uint8_t *bytes, int count)
{
    ComDriver.SendData(bytes, count);
}

void TUpdateEngine::sendCommand(uint8_t code)
{
    IspBuffer[kCmd] = code;
    IspBuffer[kCmd + 1] = static_cast<uint8_t>(~code);
    send(&IspBuffer[kCmd], 2);
}

void TUpdateEngine::sendAddress(uint32_t address)
{
    // Most significant byte first, then the XOR of the four.
    uint8_t *a = &IspBuffer[kCmd];
    for (int i = 0; i < kAddressBytes; ++i)
        a[i] = static_cast<uint8_t>(address >> (8 * (kAddressBytes - 1 - i)));
    a[kAddressBytes] = stm32::Xor(a, kAddressBytes);
    send(a, kAddressBytes + 1);
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

void TUpdateEngine::Stop()
{
    Timer5.stop();
    OvertimeT.stop();
    waiting_.clear();
    ComDriver.Close();
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
    switch (entry) {
    case Entry::Start:
        RetryCount = 0;
        startRun();
        break;
    case Entry::Run:
        startRun();
        break;
    case Entry::Step:
        step();
        break;
    case Entry::Tick:
        timeOutTick();
        break;
    }
}

void TUpdateEngine::startRun()
{
    PortOpened = ComDriver.IsOpen();
    const TComPortNumber port = ComPortOfIndex(portIndex_);
    ComDriver.SetComPort(port);
    ComDriver.SetDevicePath(devicePath_);
    if (!OpenWithLine(ComDriver, kBootloaderLine)) {
        OvertimeT.stop();
        emit portOpenFailed(static_cast<int>(port) + 1, QString::fromStdString(ComDriver.DeviceName()));
        emit finished(TUpdateOutcome::PortNotOpened);
        return;
    }
    PortOpened = true;

    enterBootloader();

    IspState = 1;
    failure_ = {};
    rejected_ = TUpdateCause::NoAnswer;
    verified_ = false;
    uniqueId_.clear();
    syncsSent_ = 0;
    sendSync();
    setStatus(kSearching);
    stagePercent_ = -1;  // every run reports its first stage anew
    enterStage(TUpdateStage::Connecting);
    OvertimeCount = Isp::kOvertimeStart;
    enable(OvertimeT, overtimeDueMs_);
    enable(Timer5, timer5DueMs_);
}

void TUpdateEngine::sendSync()
{
    IspBuffer[kCmd] = stm32::kSync;
    send(&IspBuffer[kCmd], 1);
    ComDriver.RxCount = 0;
    ++syncsSent_;
}

void TUpdateEngine::enterStage(TUpdateStage stage, int percent)
{
    if (stage == stage_ && percent == stagePercent_)
        return;
    stage_ = stage;
    stagePercent_ = percent;
    emit stageChanged(stage, percent);
}

void TUpdateEngine::replyArrived()
{
    // Timer5 stopped means no step is due: idle, loading the image, or after a
    // failed load until the time-out; bytes then wait as they would for a tick.
    if (Timer5.isActive())
        Timer5Timer();
}

void TUpdateEngine::step()
{
    if (IspState < 1 || IspState > kLastState)
        return;
    const int count = ComDriver.RxCount;
    if (count < replyLength()) {
        // A NACK where a longer answer is due waits like any short reply, but
        // the run's failure can name it.
        if (count > 0 && IspState > 1 && ComDriver.RxBuffer[0] == stm32::kNack)
            rejected_ = TUpdateCause::Refused;
        return;
    }
    // The sync answer is judged by the last byte of the batch, so noise before it
    // does no harm; remember it before the copy is bounded to the reply area.
    const int bounded = std::min({count, int(kIspCommandLast), int(TQRTCommDriver::kRxBufferSize)});
    const uint8_t lastByte = ComDriver.RxBuffer[std::min(count, int(TQRTCommDriver::kRxBufferSize)) - 1];
    std::copy_n(ComDriver.RxBuffer, bounded, &IspBuffer[kIspCommandFirst]);
    ComDriver.RxCount = 0;
    // Whatever a step throws ends that step only; the run goes on from where it got.
    try {
        if (!acceptReply(lastByte)) {
            const uint8_t first = IspState == 1 ? lastByte : IspBuffer[kCmd];
            rejected_ = first == stm32::kNack ? TUpdateCause::Refused : TUpdateCause::BadReply;
            if (IspState == 1)
                setStatus(kNoContact);
            return;
        }
        rejected_ = TUpdateCause::NoAnswer;
        act();
    } catch (...) {
    }
}

bool TUpdateEngine::acceptReply(uint8_t lastByte)
{
    const uint8_t *r = &IspBuffer[kCmd - 1];  // r[1] is the first byte received
    switch (IspState) {
    case 1:
        // A chip that is already synchronised takes a repeated sync byte as half a
        // command and refuses the pair: that NACK says it is listening.
        return lastByte == stm32::kAck ||
               (options_.bootEntry == TBootEntry::Manual && syncsSent_ > 1 && lastByte == stm32::kNack);
    case 2:
        // The command list starts with Get itself.
        return r[1] == stm32::kAck && r[2] == stm32::kGetCommandCount && r[4] == stm32::kCmdGet &&
               r[15] == stm32::kAck;
    case 3:
        return r[1] == stm32::kAck && r[2] == stm32::kProductIdBytesMinusOne && r[5] == stm32::kAck;
    default:
        return r[1] == stm32::kAck;
    }
}

void TUpdateEngine::act()
{
    switch (IspState) {
    case 1:
        OvertimeCount = 0;
        sendCommand(stm32::kCmdGet);
        setStatus(kConnected);
        IspState = 2;
        enterStage(TUpdateStage::Identifying);
        break;
    case 2:
        OvertimeCount = 0;
        bootloaderVersion_ = IspBuffer[kCmd + 2];
        sendCommand(stm32::kCmdGetId);  // fills bytes 1 and 2 only: the version in byte 3 stays
        setStatus(VersionText(IspBuffer[kCmd + 2]));
        IspState = 3;
        break;
    case 3:
        OvertimeCount = 0;
        productId_ = static_cast<uint16_t>(IspBuffer[kCmd + 2] << 8 | IspBuffer[kCmd + 3]);
        sendCommand(stm32::kCmdReadMemory);
        IspState = 4;
        enterStage(TUpdateStage::FlashSize);
        break;
    case 4:
        OvertimeCount = 0;
        sendAddress(stm32::kFlashSizeRegister);
        IspState = 5;
        break;
    case 5:
        OvertimeCount = 0;
        IspBuffer[kCmd] = Isp::kFlashSizeReadCount - 1;
        IspBuffer[kCmd + 1] = static_cast<uint8_t>(~IspBuffer[kCmd]);
        send(&IspBuffer[kCmd], 2);
        IspState = 6;
        break;
    case 6:
        OvertimeCount = 0;
        afterFlashSize();
        break;
    case kUniqueIdCommandState:
        OvertimeCount = 0;
        sendAddress(Isp::kUniqueIdAddress);
        IspState = kUniqueIdAddressState;
        break;
    case kUniqueIdAddressState:
        OvertimeCount = 0;
        sendReadCount(kUniqueIdBytes);
        IspState = kUniqueIdDataState;
        break;
    case kUniqueIdDataState: {
        OvertimeCount = 0;
        static const char kHex[] = "0123456789ABCDEF";
        uniqueId_.clear();
        for (int i = 0; i < kUniqueIdBytes; ++i) {
            const uint8_t b = IspBuffer[kCmd + 1 + i];
            uniqueId_ += kHex[b >> 4];
            uniqueId_ += kHex[b & 0x0F];
        }
        sendCommand(stm32::kCmdErase);
        IspState = 7;
        enterStage(TUpdateStage::Erasing);
        break;
    }
    case 7:
        eraseStep();
        break;
    case 8:
        OvertimeCount = 0;
        if (ImageOffset == 0)
            enterStage(TUpdateStage::Writing, 0);
        blockAddress_ = WriteAddress;
        sendCommand(stm32::kCmdWriteMemory);
        IspState = 9;
        break;
    case 9:
        // The allowance of one block covers all three of its exchanges: no reset here.
        sendAddress(WriteAddress);
        IspState = 10;
        break;
    case 10:
        writeStep();
        break;
    case 11:
        if (options_.verify) {
            verifyOffset_ = 0;
            enterStage(TUpdateStage::Verifying, 0);
            verifyNextBlock();
        } else {
            finish();
        }
        break;
    case kVerifyCommandState:
        OvertimeCount = 0;
        sendAddress(stm32::kFlashBase + static_cast<uint32_t>(verifyOffset_));
        IspState = kVerifyAddressState;
        break;
    case kVerifyAddressState:
        OvertimeCount = 0;
        sendReadCount(verifyCount_);
        IspState = kVerifyDataState;
        break;
    case kVerifyDataState: {
        OvertimeCount = 0;
        if (!verifyBlock())
            return;
        verifyOffset_ += verifyCount_;
        const int32_t size = static_cast<int32_t>(ImageStream ? ImageStream->size() : 0);
        enterStage(TUpdateStage::Verifying, size > 0 ? verifyOffset_ * 100 / size : 100);
        if (verifyOffset_ < size) {
            verifyNextBlock();
        } else {
            verified_ = true;
            finish();
        }
        break;
    }
    default:
        break;
    }
}

void TUpdateEngine::eraseStep()
{
    OvertimeCount = 0;
    Timer5.stop();
    // A failed load leaves the run in this state; its time-out ends it.
    if (!loadImage_()) {
        rejected_ = TUpdateCause::ImageNotLoaded;
        return;
    }
    const int32_t size = static_cast<int32_t>(ImageStream ? ImageStream->size() : 0);
    WriteAddress = stm32::kFlashBase;
    ImageOffset = 0;
    BytesLeft = size;
    // One page more than the whole pages: covers the partial last page, and one
    // spare page when the size is an exact multiple.
    const int pages = size / kPageBytes + 1;
    uint8_t *req = &IspBuffer[kCmd];
    req[0] = static_cast<uint8_t>(pages - 1);
    for (int p = 0; p < pages; ++p)
        req[1 + p] = static_cast<uint8_t>(p);
    req[1 + pages] = stm32::Xor(req, pages + 1);
    send(req, pages + 2);
    setStatus(kErasing);
    IspState = 8;
    enable(Timer5, timer5DueMs_);
}

void TUpdateEngine::writeStep()
{
    const int32_t size = static_cast<int32_t>(ImageStream ? ImageStream->size() : 0);
    const int n = std::min<int32_t>(BytesLeft, kMaxBlock);
    // The bootloader programs whole words only: a short last block is filled up
    // with the erased value, which leaves the flash beyond the image as it was.
    const int padded = (n + kWriteAlign - 1) / kWriteAlign * kWriteAlign;
    const uint8_t *data = &IspBuffer[kIspImageFirst + static_cast<size_t>(ImageOffset)];
    // Count byte, data, padding and checksum leave in one write: through a USB
    // adapter every write is a transfer of its own, and separate ones would put
    // gaps into the block that the bootloader has to wait out.
    uint8_t *frame = &IspBuffer[kCmd];
    frame[0] = static_cast<uint8_t>(padded - 1);
    std::copy_n(data, n, frame + 1);
    std::fill_n(frame + 1 + n, padded - n, stm32::kErasedByte);
    frame[1 + padded] = stm32::Xor(frame + 1, static_cast<size_t>(padded), frame[0]);
    send(frame, padded + 2);

    BytesLeft -= n;
    WriteAddress += static_cast<uint32_t>(n);
    ImageOffset += n;
    setProgress(size > 0 ? ImageOffset * 100 / size : 0);
    setStatus(kProgress + QString::number(progress_) + QLatin1Char('%'));
    enterStage(TUpdateStage::Writing, progress_);
    IspState = BytesLeft > 0 ? 8 : 11;
}

void TUpdateEngine::finish()
{
    IspState = 1;
    setProgress(0);
    setStatus(kDone);
    OvertimeT.stop();
    Timer5.stop();
    enterStage(TUpdateStage::Finishing);
    // Let the chip restart into the new program: reset, boot pin low, then out of
    // reset. Whether closing the port would release DTR depends on the port's
    // hang-up flag; the module must not stay in reset for want of it.
    switch (options_.bootEntry) {
    case TBootEntry::DtrRts:
        ComDriver.SetDtr(true);
        clock_.sleep(Isp::kFinishHoldMs);
        ComDriver.SetRts(false);
        ComDriver.SetDtr(false);
        break;
    case TBootEntry::Inverted:
        ComDriver.SetDtr(false);
        clock_.sleep(Isp::kFinishHoldMs);
        ComDriver.SetRts(true);
        ComDriver.SetDtr(true);
        break;
    case TBootEntry::Manual:
        break;  // the operator releases BOOT0 and resets the module
    }
    if (PortOpened)
        ComDriver.Close();
    emit finished(TUpdateOutcome::Done);
}

void TUpdateEngine::timeOutTick()
{
    const bool manualSync = options_.bootEntry == TBootEntry::Manual && IspState == 1;
    if (manualSync) {
        // Once a second until the operator has the chip in its bootloader.
        if (syncsSent_ < kManualSyncSeconds) {
            sendSync();
            return;
        }
        OvertimeCount = Isp::kOvertimeLimit;
    }
    if (++OvertimeCount <= Isp::kOvertimeLimit)
        return;
    failure_.stage = StageOf(IspState);
    failure_.cause = rejected_;
    failure_.address = failure_.stage == TUpdateStage::Writing ? blockAddress_ : 0;
    emit runFailed(failure_);
    IspState = 1;
    setProgress(0);
    setStatus(kLinkFailed);
    OvertimeT.stop();
    Timer5.stop();
    if (PortOpened)
        ComDriver.Close();
    // The manual entry has had its half minute; another run would only ask again.
    if (++RetryCount < Isp::kMaxRuns && !manualSync && (!retryGuard_ || retryGuard_()))
        startRun();
    else
        emit finished(TUpdateOutcome::LinkFailed);
}
