#pragma once
// A production station: one slot per port, all on the caller's event loop, one
// recipe, one records store. The station admits each board (duplicates, labels)
// through the store, keeps each slot's record there before the slot goes on,
// stops taking new boards while the store's server is away and takes them again
// when it is back, and counts what it made. No widgets: the command line and the
// window show what it reports.
#include "station/Recipe.h"
#include "station/RecordStore.h"
#include "station/RunRecord.h"
#include "station/SlotStatus.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

#include <memory>
#include <string>
#include <vector>

class TStationSlot;

struct TStationPort {
    QString name;        // as the operator named it: "COM3", "/dev/ttyUSB0"
    std::string device;  // what opening it opens
};

class TStation : public QObject {
    Q_OBJECT
public:
    // Records the window lists.
    static constexpr int kLastRecords = 20;

    // recipe and store must outlive the station.
    TStation(const TRecipe &recipe, TRecordStore &store, const QList<TStationPort> &ports, QObject *parent = nullptr);
    ~TStation() override;

    void setOperator(const QString &name);
    // Boards already passed in this lot are done again instead of refused.
    void setRework(bool rework);

    void start();
    void stop();
    bool running() const { return running_; }
    // False while the records' server is away: no new board is started.
    bool takingBoards() const { return taking_; }
    const QString &heldReason() const { return heldReason_; }

    // The operator's label (a scanner's line) for the board on slot `slot`
    // (1 ...), or for the next board there. False with the reason in `why` when
    // there is no such slot or the recipe refuses the label.
    bool setLabel(int slot, const QString &label, QString *why = nullptr);

    int slotCount() const { return static_cast<int>(slots_.size()); }
    // Slot `slot`, 1 ... slotCount(): its status and its port as the operator named it.
    const TSlotStatus &slotStatus(int slot) const;
    QString slotPort(int slot) const;
    TStationSlot &slotAt(int slot) { return *slots_.at(size_t(slot - 1)); }

    const TRecipe &recipe() const { return recipe_; }
    const QString &operatorName() const { return operator_; }
    bool rework() const { return rework_; }

    int passed() const { return passed_; }
    int failed() const { return failed_; }
    // Boards that passed at their first attempt of this run, of the boards tried; -1 before any.
    double firstPassYield() const;
    // Boards passed per hour of running; -1 before the first.
    double boardsPerHour() const;
    // The newest first.
    const QList<TRunRecord> &lastRecords() const { return lastRecords_; }

signals:
    // One per event of slot `slot` (1 ...); its status is then slotStatus(slot).
    void slotEvent(int slot, TSlotEvent event);
    // Anything of the slot's status changed: state, stage, percent, label, reason.
    void slotChanged(int slot, const TSlotStatus &status);
    // A board's record, kept (in the database or its spool) or not.
    void recorded(const TRunRecord &record, bool kept);
    // passed(), failed(), firstPassYield(), boardsPerHour() or lastRecords() changed.
    void countsChanged();
    // The records' server went away (taking false, with why) or came back.
    void takingChanged(bool taking, const QString &why);
    void started();
    void stopped();

private:
    TAdmission admit(const QString &uniqueId, const QString &label, QString &why);
    void keep(const TRunRecord &record);
    void setTaking(bool taking, const QString &why);

    const TRecipe &recipe_;
    TRecordStore &store_;
    std::vector<std::unique_ptr<TStationSlot>> slots_;
    QString operator_;
    QString host_;
    bool rework_ = false;
    bool running_ = false;
    bool taking_ = true;
    QString heldReason_;

    int passed_ = 0;
    int failed_ = 0;
    QSet<QString> tried_;        // boards of this run, by unique ID
    QSet<QString> firstPassed_;  // ... of which passed at their first attempt
    int triedUnidentified_ = 0;  // attempts that never read a unique ID count as boards of their own
    QElapsedTimer runningClock_;
    qint64 runningMsBefore_ = 0;  // of earlier starts
    QList<TRunRecord> lastRecords_;
};
