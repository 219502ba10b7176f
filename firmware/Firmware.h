#pragma once
#include "QRT_ComDrv.h"
#include "Toolkit.h"

#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

// The firmware-update window: starts the module's bootloader over DTR/RTS, then
// walks Get, Get ID, Read Memory, Erase and a Write Memory loop on a 3 ms step
// timer, watched by a 1 s time-out timer that restarts a stalled run.
class TFirmwareFrm : public QDialog {
    Q_OBJECT
public:
    static constexpr int kClientWidth = 328;
    static constexpr int kClientHeight = 89;
    static constexpr int kStates = 11;

    // platform: the port implementation under ComDriver; the termios one when none is given.
    explicit TFirmwareFrm(QWidget *parent = nullptr, std::unique_ptr<SerialPort> platform = {});
    ~TFirmwareFrm() override;

    void FormShow();
    void BitBtn1Click();
    void STM_ISP();
    void Timer5Timer();
    void OvertimeTTimer();

    QLabel *Label1;
    TDropDownList *Serial_Port;
    QPushButton *BitBtn1;
    QProgressBar *ProgressBar1;
    QLabel *Panel1;
    TQRTCommDriver ComDriver;
    QTimer OvertimeT;
    QTimer Timer5;

    // Update state.
    int32_t IspState = 0;
    uint8_t OvertimeCount = 0;
    uint8_t RetryCount = 0;
    bool PortOpened = false;
    uint32_t WriteAddress = 0;
    int32_t ImageOffset = 0;
    int32_t BytesLeft = 0;

    // Bytes awaited in each state 1 ... 11 (index 0 unused).
    static constexpr uint8_t ReplyLength[kStates + 1] = {0, 1, 15, 5, 1, 1, 5, 1, 1, 1, 1, 1};

    // "Boot:" + high nibble + "." + low nibble, in decimal.
    static QString VersionText(uint8_t version);

signals:
    // Every text the status line shows, in order.
    void statusChanged(const QString &text);

protected:
    void showEvent(QShowEvent *event) override;

private:
    void setStatus(const QString &text);
    bool acceptReply(uint8_t lastByte);
    void act();
    void eraseStep();
    void writeStep();
    void finish();
    void send(const uint8_t *bytes, int count);
    void sendCommand(uint8_t code);
    void sendAddress(uint32_t address);
};

extern TFirmwareFrm *FirmwareFrm;
