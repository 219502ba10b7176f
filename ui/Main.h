#pragma once
#include "modbus/ModbusLine.h"
#include "modbus/ModuleConfig.h"
#include "modbus/PollCycle.h"
#include "serial/QRT_ComDrv.h"
#include "ui/FindDlg.h"
#include "ui/MainDefaults.h"
#include "widgets/GridView.h"
#include "widgets/PortList.h"
#include "widgets/Toolkit.h"

#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <array>
#include <functional>
#include <optional>

class TTrendFrm;
class TTraceFrm;

class TMainForm : public QWidget {
    Q_OBJECT
public:
    static constexpr int kClientWidth = 742;
    static constexpr int kClientHeight = 298;
    static constexpr int kPollIntervalMs = kPollTickMs;  // Timer1: one step of the polling cycle
    static constexpr int kClockIntervalMs = 500;         // TimerSec
    // Timer1's reads of the line come this often at the longest; a late tick
    // hands the line back to the driver's own watch.
    static constexpr int kOwnerReadIntervalMs = 3 * kPollIntervalMs;
    static constexpr int kMaxWaitTicks = kPollMaxWaitTicks;  // ticks a request may wait for its reply
    static constexpr uint32_t kPauseBeforeWriteMs = ::kPauseBeforeWriteMs;

    explicit TMainForm(QWidget *parent = nullptr);
    ~TMainForm() override;

    // Handlers.
    void FormCreate();
    void TimerSecTimer();
    bool OpenComPort();
    void SpeedButton1Click();
    void Timer1Timer();
    void ReadBackConfiguration();
    void BitBtn2Click();
    void BitBtn1Click();
    void FindButtonClick();
    // "查找模块" is for a disconnected window in "PC-UART" mode.
    void UpdateFindButton();
    // The line EX_Baud and EX_Format choose; the next connect opens it.
    TModbusLine ChosenLine() const;
    void StringGrid1DrawCell(int col, int row, TGridDrawState state, TCellFormat &format);
    void StringGrid2DrawCell(int col, int row, TGridDrawState state, TCellFormat &format);
    void StringGrid2SelectCell(int col, int row, bool &canSelect);
    void StringGrid2DblClick();
    // The trend and trace windows, made at their first opening and kept.
    void TrendButtonClick();
    void TraceButtonClick();
    // Puts the values the grids draw from the mirror into their cells' texts;
    // only cells whose text changed are painted again.
    void ShowGridValues();

    // Runs `write` with polling paused: Timer1 stops, kPauseBeforeWriteMs pass so that
    // no read reply is still on its way into an echo, then the write, then Timer1
    // starts again. Returns what `write` returns. The write dialog and the
    // configuration write both go through here.
    bool WriteWhilePollingPaused(const std::function<bool()> &write);

    // "主.次" from the version word: quotient and remainder by 100, no leading zeros.
    static QString VersionText(uint16_t word);

    // State of the polling cycle.
    bool SendPending = false;
    int32_t PollWaitTicks = 0;
    int32_t ExchangeCount = 0;
    bool LinkOk = false;
    int32_t SelectedRegister = 0;

    // Input and output grids.
    TGridView *StringGrid1;
    TGridView *StringGrid2;

    // Communication group.
    QGroupBox *GroupBox1;
    TPortList *ComboBox1;
    TShape *Shape1;
    TDropDownList *EX_Addr;
    TDropDownList *EX_Baud;
    TDropDownList *EX_Format;
    QLineEdit *Edit4;
    QLabel *Label20;
    TDropDownList *ComboBox6;
    QPushButton *SpeedButton1;
    QPushButton *BitBtn1;
    QPushButton *FindButton;
    TFindDlg *FindDlg;

    // Module configuration group.
    // One of its controls, indexed like kModuleSettings: a number's spin edit or a
    // list's drop-down list, made and laid out from this row.
    struct TSettingControl {
        const char *ObjectName;
        const char *Label;  // shown with a colon; a list's also names it when a choice is asked for
        const char *Hint;   // tool tip of the label and the control, or nullptr
        int Initial;        // value or item index when the window is created
        TSpinEdit *TMainForm::*Number;
        TDropDownList *TMainForm::*List;
    };
    static const std::array<TSettingControl, kModuleSettingCount> kSettingControls;
    // The controls' values as TModuleSettings holds them, and back (a value
    // outside a list's table selects nothing).
    TModuleSettings EnteredSettings() const;
    void EnterSettings(const TModuleSettings &settings);

    QGroupBox *RzGroupBox1;
    TSpinEdit *SpinEdit2;
    TDropDownList *Baud_CAN;
    TDropDownList *Baud_485;
    TSpinEdit *SpinEdit3;
    TDropDownList *Filter_Val;
    TDropDownList *Dat_485;
    QPushButton *BitBtn2;

    QLabel *TimerStr;
    QPushButton *TrendButton;  // "趋势图"
    QPushButton *TraceButton;  // "通信监视"
    TTrendFrm *TrendFrm = nullptr;
    TTraceFrm *TraceFrm = nullptr;
    QTimer TimerSec;
    QTimer Timer1;
    TQRTCommDriver ComDriver;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void buildCommunicationGroup();
    void buildConfigurationGroup();
    void buildViewButtons(QFrame *strip);
    // The values of a successful read to the trend window, if it is open.
    void FeedTrend();
    bool writeConfiguration();

    void showFirmwareVersion(uint16_t word);

    bool centred_ = false;
    std::optional<uint16_t> shownVersion_;  // the version word the caption shows
};

extern TMainForm *MainForm;
