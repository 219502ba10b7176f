#pragma once
// One slot of a production station: one port with its fixture, and the loop a
// board goes through on it. Wait for a board (the module answering on its fixed
// port, or a chip answering the bootloader's sync), read the chip's unique ID,
// let the station admit it, flash and verify the recipe's image, write the
// recipe's settings, read everything back, hand the station the record, then
// wait until the board is taken away. Timers on the caller's event loop, an
// update engine and a serial component of its own: several slots run side by
// side on one thread. Reports values; a window or the command line words them.
#include "firmware/UpdateEngine.h"
#include "modbus/ModbusMaster.h"
#include "serial/QRT_ComDrv.h"
#include "station/BoardProbe.h"
#include "station/Recipe.h"
#include "station/RunRecord.h"
#include "station/SlotStatus.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <cstdint>
#include <functional>
#include <string>

class TStationSlot : public QObject {
    Q_OBJECT
public:
    // Between two looks at the fixture, and how long each answer may take.
    static constexpr int kProbeIntervalMs = 200;
    static constexpr int kModuleReplyMs = 150;
    static constexpr int kSyncReplyMs = 100;
    // Looks in a row that found nothing before a board counts as taken away.
    static constexpr int kAbsentProbes = 2;
    // After the flash the module restarts: how long it may take to answer.
    static constexpr int kRestartMs = 5000;
    // The steps of the line sequences: each wait this long (the command line's default).
    static constexpr uint32_t kEntryMs = 50;
    // What the identifying run reads of the flash besides the unique ID.
    static constexpr int64_t kIdentifyReadBytes = 4;

    // The station's judgement of a board: refused with the reason in words.
    using AdmitFn = std::function<TAdmission(const QString &uniqueId, const QString &label, QString &why)>;
    // The station keeps the record (before the slot goes on).
    using RecordFn = std::function<void(const TRunRecord &record)>;

    // number: 1 ...; portName: as the operator named it; device: what opening it opens.
    TStationSlot(int number, const QString &portName, const std::string &device, const TRecipe &recipe,
                 QObject *parent = nullptr);
    ~TStationSlot() override;

    void setAdmit(AdmitFn admit) { admit_ = std::move(admit); }
    void setRecord(RecordFn record) { record_ = std::move(record); }
    // Filled into every record.
    void setIdentity(const QString &host, const QString &operatorName, bool rework);

    void start();
    // Ends whatever runs; a board in the middle of its stages is recorded as failed.
    void stop();
    // False: no new board is started (a board found is held until true again).
    void setTakingBoards(bool taking);

    // The operator's label for the board on the fixture, or the next one. False
    // with the reason when the recipe refuses it.
    bool giveLabel(const QString &label, QString &why);
    bool wantsLabel() const { return status_.state == TSlotState::NeedsLabel; }

    int number() const { return number_; }
    const QString &portName() const { return portName_; }
    const TSlotStatus &status() const { return status_; }

signals:
    void changed();
    void event(TSlotEvent event);

private:
    enum class Probe { Idle, AskModule, AskChip };
    enum class Run { None, Identify, Flash };

    void tick();
    void startProbe();
    void probeAnswered(bool present);
    void openAt(TComPortBaudRate speed);

    void beginBoard();
    void startRun(Run run);
    void runFinished(TUpdateOutcome outcome);
    void afterIdentify();
    void admit();
    void flash();
    void waitForModule();
    void configureAndReadBack();
    void pass();
    void fail(TSlotStage stage, const QString &cause);
    void finishBoard(bool passed);
    void waitForRemoval(TSlotState state);

    void setState(TSlotState state);
    void setStage(TSlotStage stage);
    TRunRecord recordBase() const;

    const int number_;
    const QString portName_;
    const std::string device_;
    const TRecipe &recipe_;
    AdmitFn admit_;
    RecordFn record_;
    QString host_;
    QString operator_;
    bool rework_ = false;

    TQRTCommDriver driver_;
    TUpdateEngine engine_;
    TModbusMaster master_;
    QTimer tick_;
    QElapsedTimer clock_;
    TSlotStatus status_;
    bool taking_ = true;

    Probe probe_ = Probe::Idle;
    qint64 probeDue_ = 0;    // clock_ time of the next look, or of the answer's deadline
    bool removing_ = false;  // the looks wait for the board to go
    int absentProbes_ = 0;
    bool moduleWaited_ = false;  // the looks wait for the flashed module to answer
    TProbeWords probeWords_{};   // what the last look that found the module read
    qint64 moduleDeadline_ = 0;

    Run run_ = Run::None;
    QString pendingLabel_;  // given before the board was identified
    QString lastDoneId_;    // the unique ID this slot last finished
    // The board in its stages.
    QString recordId_;
    QDateTime started_;
    QElapsedTimer boardClock_;
    int bootloaderVersion_ = -1;
    bool verified_ = false;
    QString settingsWritten_;
    QString settingsReadBack_;
};
