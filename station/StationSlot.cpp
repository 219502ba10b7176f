#include "station/StationSlot.h"

#include "firmware/FirmwareImage.h"
#include "firmware/Isp.h"
#include "firmware/UpdateWording.h"
#include "serial/ById.h"
#include "station/BoardProbe.h"
#include "station/SlotSettings.h"

#include <QUuid>

namespace {

// How often the slot looks at its line while it probes.
constexpr int kTickMs = 5;
// After a look that found the flashed module silent, the next one follows this soon.
constexpr int kModuleRetryMs = 100;

}  // namespace

TStationSlot::TStationSlot(int number, const QString &portName, const std::string &device, const TRecipe &recipe,
                           QObject *parent)
    : QObject(parent), number_(number), portName_(portName), device_(device), recipe_(recipe), engine_(driver_)
{
    master_.SetLink(FixedModbusLink(driver_, kProbeStation, TLinkMode::PcUart, TEchoMode::Auto));
    driver_.SetDevicePath(device_);
    driver_.SetComPortParity(ptEVEN);
    tick_.setInterval(kTickMs);
    tick_.setTimerType(Qt::PreciseTimer);
    connect(&tick_, &QTimer::timeout, this, &TStationSlot::tick);
    // The engine reports from inside its own entry: the slot acts after it.
    connect(&engine_, &TUpdateEngine::finished, this,
            [this](TUpdateOutcome outcome) { QTimer::singleShot(0, this, [this, outcome] { runFinished(outcome); }); });
    connect(&engine_, &TUpdateEngine::stageChanged, this, [this](TUpdateStage stage, int percent) {
        status_.updateStage = stage;
        status_.percent = percent;
        emit changed();
    });
}

TStationSlot::~TStationSlot()
{
    tick_.stop();
    if (run_ != Run::None)
        engine_.Stop();
}

void TStationSlot::setIdentity(const QString &host, const QString &operatorName, bool rework)
{
    host_ = host;
    operator_ = operatorName;
    rework_ = rework;
}

void TStationSlot::start()
{
    if (status_.state != TSlotState::Stopped)
        return;
    clock_.start();
    status_ = TSlotStatus{};
    status_.label = pendingLabel_;
    removing_ = false;
    moduleWaited_ = false;
    probe_ = Probe::Idle;
    probeDue_ = 0;
    setState(TSlotState::Waiting);
    tick_.start();
}

void TStationSlot::stop()
{
    tick_.stop();
    if (run_ != Run::None) {
        run_ = Run::None;
        engine_.Stop();
    }
    const bool midBoard = status_.state == TSlotState::Working || status_.state == TSlotState::NeedsLabel;
    if (midBoard)
        fail(status_.stage, QStringLiteral("stopped by the operator"));
    tick_.stop();
    removing_ = false;
    moduleWaited_ = false;
    driver_.Close();
    setState(TSlotState::Stopped);
}

void TStationSlot::setTakingBoards(bool taking)
{
    taking_ = taking;
    if (!taking || status_.state != TSlotState::Held)
        return;
    // A board identified before the records went away is judged now; otherwise the looks go on.
    if (!status_.uniqueId.isEmpty()) {
        setState(TSlotState::Working);
        QTimer::singleShot(0, this, &TStationSlot::admit);
    } else {
        setState(TSlotState::Waiting);
    }
}

bool TStationSlot::giveLabel(const QString &label, QString &why)
{
    const QString text = label.trimmed();
    if (!RecipeTakesLabel(recipe_, text, why))
        return false;
    if (status_.state == TSlotState::NeedsLabel) {
        status_.label = text;
        setState(TSlotState::Working);
        QTimer::singleShot(0, this, &TStationSlot::admit);
        return true;
    }
    // For the board to come: the one on the fixture is past its label, or there is none yet.
    pendingLabel_ = text;
    if (status_.state == TSlotState::Waiting || status_.state == TSlotState::Held ||
        status_.state == TSlotState::Stopped) {
        status_.label = text;
        emit changed();
    }
    return true;
}

void TStationSlot::openAt(TComPortBaudRate speed)
{
    if (driver_.IsOpen() && driver_.ComPortSpeed() == speed)
        return;
    driver_.Close();
    driver_.SetDevicePath(device_);
    driver_.SetComPortSpeed(speed);
    driver_.SetComPortParity(ptEVEN);
    driver_.Open();
}

void TStationSlot::tick()
{
    const qint64 now = clock_.elapsed();
    switch (probe_) {
    case Probe::Idle:
        if (now >= probeDue_)
            startProbe();
        return;
    case Probe::AskModule:
        if (ProbeReplyIn(driver_.RxBuffer, driver_.RxCount, probeWords_.data())) {
            probeAnswered(true);
        } else if (now >= probeDue_) {
            if (moduleWaited_) {
                probeAnswered(false);
                return;
            }
            // Silent at the module's line: a chip in its bootloader, perhaps.
            openAt(br115200);
            driver_.RxCount = 0;
            const uint8_t sync = stm32::kSync;
            driver_.SendData(&sync, 1);
            probe_ = Probe::AskChip;
            probeDue_ = now + kSyncReplyMs;
        }
        return;
    case Probe::AskChip:
        if (SyncAnswerIn(driver_.RxBuffer, driver_.RxCount))
            probeAnswered(true);
        else if (now >= probeDue_)
            probeAnswered(false);
        return;
    }
}

void TStationSlot::startProbe()
{
    openAt(br57600);
    if (!driver_.IsOpen()) {
        const QString why = QStringLiteral("cannot open %1").arg(portName_);
        if (status_.reason != why) {
            status_.reason = why;
            emit changed();
        }
        probeDue_ = clock_.elapsed() + kProbeIntervalMs;
        return;
    }
    driver_.RxCount = 0;
    const RequestFrame request = ProbeRequest();
    driver_.SendData(request.data(), static_cast<int32_t>(request.size()));
    probe_ = Probe::AskModule;
    probeDue_ = clock_.elapsed() + kModuleReplyMs;
}

void TStationSlot::probeAnswered(bool present)
{
    const qint64 now = clock_.elapsed();
    probe_ = Probe::Idle;
    probeDue_ = now + kProbeIntervalMs;
    if (moduleWaited_) {
        if (present) {
            moduleWaited_ = false;
            tick_.stop();
            QTimer::singleShot(0, this, &TStationSlot::configureAndReadBack);
        } else if (now >= moduleDeadline_) {
            moduleWaited_ = false;
            tick_.stop();
            fail(TSlotStage::Configure,
                 QStringLiteral("the module does not answer at 57600 8E1, station 1, within %1 s after the flash")
                     .arg(kRestartMs / 1000));
        } else {
            probeDue_ = now + kModuleRetryMs;
        }
        return;
    }
    if (removing_) {
        if (present) {
            absentProbes_ = 0;
            return;
        }
        if (++absentProbes_ < kAbsentProbes)
            return;
        removing_ = false;
        status_ = TSlotStatus{};
        status_.label = pendingLabel_;
        setState(TSlotState::Waiting);
        emit event(TSlotEvent::BoardRemoved);
        return;
    }
    if (!present) {
        if (status_.state == TSlotState::Held)
            setState(TSlotState::Waiting);
        return;
    }
    if (!taking_) {
        if (status_.state != TSlotState::Held) {
            setState(TSlotState::Held);
            emit event(TSlotEvent::HeldBack);
        }
        return;
    }
    beginBoard();
}

void TStationSlot::beginBoard()
{
    tick_.stop();
    recordId_ = QUuid::createUuid().toString(QUuid::WithoutBraces);
    started_ = QDateTime::currentDateTimeUtc();
    boardClock_.start();
    status_ = TSlotStatus{};
    status_.label = pendingLabel_;
    pendingLabel_.clear();
    bootloaderVersion_ = -1;
    verified_ = false;
    settingsWritten_.clear();
    settingsReadBack_.clear();
    setState(TSlotState::Working);
    emit event(TSlotEvent::BoardFound);
    setStage(TSlotStage::Identify);
    startRun(Run::Identify);
}

void TStationSlot::startRun(Run run)
{
    // The engine opens the port itself, at the bootloader's line.
    driver_.Close();
    TUpdateOptions o;
    o.bootEntry = TBootEntry::DtrRts;
    o.readUniqueId = true;
    o.resetPulseMs = o.bootSettleMs = o.finishHoldMs = kEntryMs;
    o.endOnNack = true;
    // The other slots go on while this one's lines settle.
    o.waitByTimer = true;
    o.productId = Isp::kModuleProductId;
    const ImageFile &image = recipe_.image;
    o.startAddress = image.start;
    if (run == Run::Identify) {
        o.readOnly = true;
        o.readBytes = kIdentifyReadBytes;
    } else {
        o.verify = true;
        o.imageBytes = image.bytes.size();
        o.erasePages = image.pages;
        o.checkWriteProtection = true;
        o.protect = recipe_.protect;
        engine_.SetImageLoader([bytes = image.bytes] { return LoadFirmwareImageBytes(bytes); });
    }
    engine_.SetDevicePath(device_);
    engine_.SetOptions(o);
    run_ = run;
    engine_.Start();
}

void TStationSlot::runFinished(TUpdateOutcome outcome)
{
    const Run run = run_;
    if (run == Run::None)
        return;  // stopped meanwhile
    run_ = Run::None;
    const TUpdateCore &core = engine_.Core();
    if (core.BootloaderVersion() != 0)
        bootloaderVersion_ = core.BootloaderVersion();
    const TSlotStage stage = run == Run::Identify ? TSlotStage::Identify : TSlotStage::Flash;
    if (outcome == TUpdateOutcome::PortNotOpened) {
        fail(stage, QStringLiteral("cannot open %1 at the bootloader's line").arg(portName_));
        return;
    }
    if (outcome != TUpdateOutcome::Done) {
        const ImageFile &image = recipe_.image;
        const TUpdateFailure &f = core.LastFailure();
        const int firstPage = image.pages.empty() ? 0 : image.pages.front();
        const int lastPage = image.pages.empty() ? 0 : image.pages.back();
        fail(stage,
             QStringLiteral("%1: %2 (%3 of %4 runs)")
                 .arg(talvex::update::StageName(f.stage),
                      talvex::update::FailureText(f, image.bytes.size(), core.FlashSizeKiB(), firstPage, lastPage))
                 .arg(core.Runs())
                 .arg(Isp::kMaxRuns));
        return;
    }
    const QString uniqueId = QString::fromStdString(core.UniqueId());
    if (run == Run::Identify) {
        status_.uniqueId = uniqueId;
        emit event(TSlotEvent::Identified);
        afterIdentify();
        return;
    }
    if (uniqueId != status_.uniqueId) {
        fail(TSlotStage::Flash, QStringLiteral("the chip flashed is %1, not the board identified (%2): the board "
                                               "was changed in between")
                                    .arg(uniqueId, status_.uniqueId));
        return;
    }
    verified_ = core.Verified();
    waitForModule();
}

void TStationSlot::afterIdentify()
{
    if (!status_.uniqueId.isEmpty() && status_.uniqueId == lastDoneId_) {
        emit event(TSlotEvent::AlreadyDone);
        waitForRemoval(TSlotState::Done);
        return;
    }
    QString why;
    if (!RecipeTakesLabel(recipe_, status_.label, why)) {
        if (!status_.label.isEmpty()) {
            fail(TSlotStage::Label, why);
            return;
        }
        setStage(TSlotStage::Label);
        setState(TSlotState::NeedsLabel);
        emit event(TSlotEvent::LabelWanted);
        return;
    }
    admit();
}

void TStationSlot::admit()
{
    if (status_.state != TSlotState::Working)
        return;
    setStage(TSlotStage::Admit);
    QString why;
    const TAdmission admission = admit_ ? admit_(status_.uniqueId, status_.label, why) : TAdmission::Admitted;
    switch (admission) {
    case TAdmission::Admitted:
        setStage(TSlotStage::Flash);
        startRun(Run::Flash);
        return;
    case TAdmission::Refused:
        fail(TSlotStage::Admit, why);
        return;
    case TAdmission::Unavailable:
        status_.reason = why;
        setState(TSlotState::Held);
        emit event(TSlotEvent::HeldBack);
        return;
    }
}

void TStationSlot::waitForModule()
{
    setStage(TSlotStage::Configure);
    moduleWaited_ = true;
    moduleDeadline_ = clock_.elapsed() + kRestartMs;
    probe_ = Probe::Idle;
    probeDue_ = clock_.elapsed();
    tick_.start();
}

void TStationSlot::configureAndReadBack()
{
    if (status_.state != TSlotState::Working)
        return;
    TSlotSettingsResult result = WriteAndReadBackSettings(master_, recipe_.settings, probeWords_,
                                                          [this] { setStage(TSlotStage::ReadBack); });
    settingsWritten_ = result.written;
    settingsReadBack_ = result.readBack;
    if (!result.ok) {
        fail(result.failedInReadBack ? TSlotStage::ReadBack : TSlotStage::Configure, result.why);
        return;
    }
    setStage(TSlotStage::Record);
    finishBoard(true);
}

void TStationSlot::fail(TSlotStage stage, const QString &cause)
{
    status_.stage = stage;
    status_.reason = cause;
    finishBoard(false);
}

void TStationSlot::finishBoard(bool passed)
{
    TRunRecord record = recordBase();
    record.result = passed ? kResultPassed : kResultFailed;
    if (!passed) {
        record.failedStage = SlotStageName(status_.stage);
        record.cause = status_.reason;
    }
    if (record_)
        record_(record);
    if (passed)
        lastDoneId_ = status_.uniqueId;
    emit event(passed ? TSlotEvent::Passed : TSlotEvent::Failed);
    waitForRemoval(passed ? TSlotState::Passed : TSlotState::Failed);
}

void TStationSlot::waitForRemoval(TSlotState state)
{
    setState(state);
    removing_ = true;
    absentProbes_ = 0;
    probe_ = Probe::Idle;
    probeDue_ = clock_.elapsed() + kProbeIntervalMs;
    tick_.start();
}

void TStationSlot::setState(TSlotState state)
{
    status_.state = state;
    emit changed();
}

void TStationSlot::setStage(TSlotStage stage)
{
    status_.stage = stage;
    status_.percent = 0;
    emit event(TSlotEvent::StageStarted);
    emit changed();
}

TRunRecord TStationSlot::recordBase() const
{
    TRunRecord r;
    r.recordId = recordId_;
    r.startedUtc = started_;
    r.durationMs = boardClock_.isValid() ? boardClock_.elapsed() : 0;
    r.host = host_;
    r.slot = QString::number(number_);
    r.port = portName_;
    r.portById = ByIdPathOf(device_);
    r.operatorName = operator_;
    r.lot = recipe_.lot;
    r.label = status_.label;
    r.uniqueId = status_.uniqueId;
    r.bootloaderVersion = bootloaderVersion_;
    r.imageSha256 = recipe_.imageSha256;
    r.settingsWritten = settingsWritten_;
    r.settingsReadBack = settingsReadBack_;
    r.verified = verified_;
    r.rework = rework_;
    return r;
}
