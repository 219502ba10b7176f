#pragma once
// The dialog that finds a module whose station, baud rate or format is not known:
// the stations, baud rates and formats to try, a progress bar, and a table of
// every module that answered. It runs the scan engine on its own port object, on
// timers, so the windows keep redrawing; "连接" hands the chosen row back.
#include "modbus/ScanEngine.h"
#include "serial/QRT_ComDrv.h"
#include "widgets/Toolkit.h"

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>

#include <array>
#include <optional>
#include <vector>

class TFindDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int kClientWidth = 560;
    static constexpr int kClientHeight = 372;
    // Columns of FindResults.
    enum Column { kColStation, kColBaud, kColFormat, kColFirmware, kColSettings, kColumns };

    explicit TFindDlg(QWidget *parent = nullptr);
    ~TFindDlg() override;

    // The port the next search runs on; taken while no search runs.
    void SetPort(TComPortNumber port);
    // The module whose row was connected to, after the dialog closed with Accepted.
    const std::optional<TFoundModule> &Chosen() const { return chosen_; }
    // What the controls ask for: every module in the station range, on the rates
    // and formats ticked.
    TScanRequest Request() const;

    // Handlers.
    void FormShow();
    void FindStartClick();
    void FindStopClick();
    void FindConnectClick();
    void FindResultsDblClick(int row);

    TSpinEdit *FindFrom;
    TSpinEdit *FindTo;
    std::array<QCheckBox *, 4> FindBauds;    // one per entry of kBaud485Texts
    std::array<QCheckBox *, 3> FindFormats;  // one per entry of kDat485Texts
    QPushButton *FindStart;
    QPushButton *FindStop;
    QProgressBar *FindProgress;
    QLabel *FindStatus;
    QTableWidget *FindResults;
    QPushButton *FindConnect;

    TQRTCommDriver ComDriver;
    TScanEngine Engine;

    // Closing the dialog stops a search that runs.
    void reject() override;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void onProgress(const TScanProgress &progress);
    void onFound(const TFoundModule &module);
    void onFinished(TScanEnd end);
    void setSearching(bool searching);
    void connectTo(int row);

    std::vector<TFoundModule> rows_;
    std::optional<TFoundModule> chosen_;
};

// The text FindResults shows for a module's settings: "站号 37, CAN 500K, 485 19200 8 O 1, 三级, 100 ms".
QString FoundSettingsText(const TFoundModule &module);
