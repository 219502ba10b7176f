#include "station/Station.h"

#include "station/StationSlot.h"

#include <QSysInfo>

namespace {

constexpr double kMsPerHour = 3600.0 * 1000.0;

}  // namespace

TStation::TStation(const TRecipe &recipe, TRecordStore &store, const QList<TStationPort> &ports, QObject *parent)
    : QObject(parent), recipe_(recipe), store_(store), host_(QSysInfo::machineHostName())
{
    int number = 0;
    for (const TStationPort &port : ports) {
        auto slot = std::make_unique<TStationSlot>(++number, port.name, port.device, recipe_, this);
        slot->setAdmit([this](const QString &uniqueId, const QString &label, QString &why) {
            return admit(uniqueId, label, why);
        });
        slot->setRecord([this](const TRunRecord &record) { keep(record); });
        slot->setIdentity(host_, operator_, rework_);
        connect(slot.get(), &TStationSlot::changed, this,
                [this, number] { emit slotChanged(number, slotStatus(number)); });
        connect(slot.get(), &TStationSlot::event, this, [this, number](TSlotEvent e) { emit slotEvent(number, e); });
        slots_.push_back(std::move(slot));
    }
    connect(&store_, &TRecordStore::serverLost, this, [this](const QString &why) { setTaking(false, why); });
    connect(&store_, &TRecordStore::serverBack, this, [this](int) { setTaking(true, {}); });
    taking_ = store_.serverUp();
    heldReason_ = store_.lostReason();
}

TStation::~TStation()
{
    // The slots record what they stop; the store must still be there, and is.
    for (auto &slot : slots_)
        slot->disconnect(this);
    slots_.clear();
}

void TStation::setOperator(const QString &name)
{
    operator_ = name;
    for (auto &slot : slots_)
        slot->setIdentity(host_, operator_, rework_);
}

void TStation::setRework(bool rework)
{
    rework_ = rework;
    for (auto &slot : slots_)
        slot->setIdentity(host_, operator_, rework_);
}

void TStation::start()
{
    if (running_)
        return;
    running_ = true;
    runningClock_.start();
    for (auto &slot : slots_) {
        slot->setTakingBoards(taking_);
        slot->start();
    }
    emit started();
    emit countsChanged();
}

void TStation::stop()
{
    if (!running_)
        return;
    for (auto &slot : slots_)
        slot->stop();
    running_ = false;
    runningMsBefore_ += runningClock_.elapsed();
    runningClock_.invalidate();
    emit countsChanged();
    emit stopped();
}

bool TStation::setLabel(int slot, const QString &label, QString *why)
{
    QString reason;
    const bool taken = slot >= 1 && slot <= slotCount() && slotAt(slot).giveLabel(label, reason);
    if (slot < 1 || slot > slotCount())
        reason = QStringLiteral("there is no slot %1 (1 ... %2)").arg(slot).arg(slotCount());
    if (why)
        *why = reason;
    return taken;
}

const TSlotStatus &TStation::slotStatus(int slot) const
{
    return slots_.at(size_t(slot - 1))->status();
}

QString TStation::slotPort(int slot) const
{
    return slots_.at(size_t(slot - 1))->portName();
}

TAdmission TStation::admit(const QString &uniqueId, const QString &label, QString &why)
{
    if (!taking_) {
        why = heldReason_;
        return TAdmission::Unavailable;
    }
    QString other;
    const TRecordStore::Admit admit = store_.admit(uniqueId, label, recipe_.lot, rework_, &other);
    why = AdmitText(admit, uniqueId, label, other);
    switch (admit) {
    case TRecordStore::Admit::Ok:
        return TAdmission::Admitted;
    case TRecordStore::Admit::DuplicatePassed:
    case TRecordStore::Admit::LabelTiedElsewhere:
        return TAdmission::Refused;
    case TRecordStore::Admit::Unavailable:
        break;
    }
    setTaking(false, why);
    return TAdmission::Unavailable;
}

void TStation::keep(const TRunRecord &record)
{
    const bool kept = store_.write(record);
    const bool passed = record.result == kResultPassed;
    ++(passed ? passed_ : failed_);
    if (record.uniqueId.isEmpty()) {
        ++triedUnidentified_;
    } else if (!tried_.contains(record.uniqueId)) {
        tried_.insert(record.uniqueId);
        if (passed)
            firstPassed_.insert(record.uniqueId);
    }
    lastRecords_.prepend(record);
    while (lastRecords_.size() > kLastRecords)
        lastRecords_.removeLast();
    emit recorded(record, kept);
    emit countsChanged();
    // A record the server did not take went to the spool: no new board until it is back.
    if (!store_.serverUp() && taking_)
        setTaking(false, store_.lostReason());
}

void TStation::setTaking(bool taking, const QString &why)
{
    if (taking == taking_)
        return;
    taking_ = taking;
    heldReason_ = taking ? QString() : why;
    for (auto &slot : slots_)
        slot->setTakingBoards(taking);
    emit takingChanged(taking, heldReason_);
}

double TStation::firstPassYield() const
{
    const int boards = static_cast<int>(tried_.size()) + triedUnidentified_;
    return boards == 0 ? -1.0 : double(firstPassed_.size()) / boards;
}

double TStation::boardsPerHour() const
{
    const qint64 ms = runningMsBefore_ + (runningClock_.isValid() ? runningClock_.elapsed() : 0);
    return passed_ == 0 || ms <= 0 ? -1.0 : passed_ * kMsPerHour / double(ms);
}
