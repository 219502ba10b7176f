#pragma once
// The production station's window: one large tile per slot, a label field under
// each that takes a barcode scanner's keystrokes, the counts, the last records,
// start and stop, and the recipe, operator and records shown. It shows what its
// TStation reports and hands it the operator's labels; the station does the work.
#include "station/Station.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QWidget>

#include <vector>

class TStationFrm : public QWidget {
    Q_OBJECT
public:
    // recordsShown: where the records go, as the operator may read it (no password).
    TStationFrm(TStation &station, const QString &recordsShown, QWidget *parent = nullptr);

    void StationStartClick();
    void StationStopClick();
    // Enter in slot `slot`'s label field: the scanned label goes to the station.
    void SlotLabelEntered(int slot);

    QLabel *RecipeLabel;
    QLabel *OperatorLabel;
    QLabel *RecordsLabel;
    QPushButton *StationStart;
    QPushButton *StationStop;
    std::vector<QLabel *> Slot;          // Slot[k - 1] is the tile "SlotK"
    std::vector<QLineEdit *> SlotLabel;  // SlotLabel[k - 1] is "SlotLabelK"
    QLabel *PassedCount;
    QLabel *FailedCount;
    QLabel *YieldLabel;
    QListWidget *LastRecords;
    QLabel *StationMessage;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void showSlot(int slot);
    void slotEvent(int slot, TSlotEvent event);
    void showCounts();
    void showRecords();
    void showRunning();
    void takingChanged(bool taking, const QString &why);
    void say(const QString &text, bool alarm = false);

    TStation &station_;
};
