#pragma once
#include "firmware/UpdateEngine.h"
#include "serial/QRT_ComDrv.h"
#include "ui/UpdateStatusText.h"
#include "widgets/PortList.h"
#include "widgets/Toolkit.h"

#include <QDialog>
#include <QLabel>
#include <QMargins>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

// The firmware-update window: a port list, a start button, a progress bar and a
// status line over the update engine, which does the work and reports back.
class TFirmwareFrm : public QDialog {
    Q_OBJECT
public:
    static constexpr int kClientWidth = 328;
    static constexpr int kClientHeight = 89;
    static constexpr int kStates = TUpdateCore::kStates;
    static constexpr const auto &ReplyLength = TUpdateCore::ReplyLength;

    // platform: the port implementation under ComDriver; the termios one when none is given.
    explicit TFirmwareFrm(QWidget *parent = nullptr, std::unique_ptr<SerialPort> platform = {});
    ~TFirmwareFrm() override;

    void FormShow();
    void BitBtn1Click();
    void STM_ISP();
    void Timer5Timer();
    void OvertimeTTimer();

    QLabel *Label1;
    TPortList *Serial_Port;
    QPushButton *BitBtn1;
    QProgressBar *ProgressBar1;
    QLabel *Panel1;
    TQRTCommDriver ComDriver;
    TUpdateEngine Engine;

    // The engine's timers, under the names the window has always had.
    QTimer &OvertimeT;
    QTimer &Timer5;
    // The update's buffer and the image last loaded into it, under the names the
    // window has always had: its engine's own, shared with no other update.
    const TIspBuffer &IspBuffer;
    const std::optional<QByteArray> &ImageStream;

    // "Boot:" + high nibble + "." + low nibble, in decimal.
    static QString VersionText(uint8_t version) { return BootVersionText(version); }

    // Where a window's frame goes so that the frame, title bar and borders included,
    // is centred in `area`: its client area is `client`, its frame adds `frame`.
    static QPoint CentredFramePosition(const QRect &area, const QSize &client, const QMargins &frame);

    void setVisible(bool visible) override;

signals:
    // Every text the status line shows, in order.
    void statusChanged(const QString &text);

protected:
    void showEvent(QShowEvent *event) override;

private:
    void setStatus(const QString &text);
    void portOpenFailed(int comNumber);
    // True when a run may start on the port it would open (StandInGuard).
    bool confirmRun();
    QMargins expectedFrameMargins() const;

    bool placed_ = false;
};

extern TFirmwareFrm *FirmwareFrm;
