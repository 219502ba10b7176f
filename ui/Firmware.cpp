#include "ui/Firmware.h"

#include "firmware/FirmwareImage.h"
#include "ui/StandInGuard.h"

#include <QGuiApplication>
#include <QScreen>
#include <QShowEvent>
#include <QWindow>

#include <algorithm>

TFirmwareFrm *FirmwareFrm = nullptr;

namespace {

const char *const kReady = QT_TRANSLATE_NOOP("TFirmwareFrm", "就绪...");
// %1 is the port's number.
const char *const kPortBusy = QT_TRANSLATE_NOOP(
    "TFirmwareFrm", "当前串口号 COM%1 已经被占用，或其它错误 ！\r请选择其它串口，或检查串口设置是否正确。");
const char *const kBadImage = QT_TRANSLATE_NOOP("TFirmwareFrm", "固件映像无效，无法更新 ！");
const QColor kBackground(0xF2, 0xF7, 0xFB);

}  // namespace

TFirmwareFrm::TFirmwareFrm(QWidget *parent, std::unique_ptr<SerialPort> platform)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      ComDriver(nullptr, std::move(platform)), Engine(ComDriver), OvertimeT(Engine.OvertimeT), Timer5(Engine.Timer5),
      IspBuffer(Engine.Core().Memory().IspBuffer()), ImageStream(Engine.Core().Memory().ImageStream())
{
    FirmwareFrm = this;
    setObjectName("FirmwareFrm");
    setWindowTitle(tr("TALVEX_M固件更新"));
    setFont(SongFont(16));
    setFixedSize(kClientWidth, kClientHeight);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, kBackground);
    setPalette(pal);
    setAutoFillBackground(true);

    Label1 = new QLabel(tr("通信端口"), this);
    Label1->setObjectName("Label1");
    Label1->setGeometry(8, 10, 70, 24);

    Serial_Port = new TPortList(this, 0);
    Serial_Port->setObjectName("Serial_Port");
    Serial_Port->setGeometry(80, 8, 100, 26);

    BitBtn1 = new QPushButton(tr("开始更新"), this);
    BitBtn1->setObjectName("BitBtn1");
    BitBtn1->setIcon(style()->standardIcon(QStyle::SP_ArrowUp));
    BitBtn1->setGeometry(196, 6, 124, 30);
    connect(BitBtn1, &QPushButton::clicked, this, &TFirmwareFrm::BitBtn1Click);

    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName("ProgressBar1");
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    ProgressBar1->setGeometry(8, 42, 312, 16);

    Panel1 = new QLabel(tr(kReady), this);
    Panel1->setObjectName("Panel1");
    Panel1->setGeometry(8, 63, 312, 22);

    ComDriver.SetComPort(pnCOM1);
    Engine.SetPortIndex(Serial_Port->ItemIndex());
    connect(Serial_Port, &QComboBox::currentIndexChanged, &Engine, &TUpdateEngine::SetPortIndex);
    connect(&Engine, &TUpdateEngine::noticed, this,
            [this](TUpdateNotice notice, int value) { setStatus(UpdateStatusText(notice, value)); });
    connect(&Engine, &TUpdateEngine::progressChanged, ProgressBar1, &QProgressBar::setValue);
    connect(&Engine, &TUpdateEngine::portOpenFailed, this, &TFirmwareFrm::portOpenFailed);
    // The press asks before its run; a further run opens what the list shows by
    // then, which may be another port, and asks again.
    Engine.SetRetryGuard([this] { return confirmRun(); });
}

TFirmwareFrm::~TFirmwareFrm()
{
    if (FirmwareFrm == this)
        FirmwareFrm = nullptr;
}

QPoint TFirmwareFrm::CentredFramePosition(const QRect &area, const QSize &client, const QMargins &frame)
{
    const int width = client.width() + frame.left() + frame.right();
    const int height = client.height() + frame.top() + frame.bottom();
    return {area.x() + (area.width() - width) / 2, area.y() + (area.height() - height) / 2};
}

QMargins TFirmwareFrm::expectedFrameMargins() const
{
    if (const QWindow *own = windowHandle(); own && !own->frameMargins().isNull())
        return own->frameMargins();
    // Before its first show the window system has not framed this window yet;
    // the frame of the program's main window is the same kind of frame.
    if (const QWidget *owner = parentWidget() ? parentWidget()->window() : nullptr; owner && owner->isVisible()) {
        const QRect outer = owner->frameGeometry();
        const QRect inner = owner->geometry();
        return {inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
                outer.bottom() - inner.bottom()};
    }
    return {};
}

void TFirmwareFrm::setVisible(bool visible)
{
    // Centred once, before the first show, by its frame: a window's position is
    // that of its frame, and the title bar would otherwise push it below the middle.
    if (visible && !placed_) {
        placed_ = true;
        create();  // some window systems know the frame as soon as the window exists
        if (const QScreen *screen = QGuiApplication::primaryScreen())
            move(CentredFramePosition(screen->availableGeometry(), size(), expectedFrameMargins()));
    }
    QDialog::setVisible(visible);
}

void TFirmwareFrm::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    // The window system showing the window again (restored from minimised) is
    // not the program showing it: the status line keeps the update's result.
    if (!event->spontaneous())
        FormShow();
}

void TFirmwareFrm::setStatus(const QString &text)
{
    Panel1->setText(text);
    emit statusChanged(text);
}

void TFirmwareFrm::FormShow()
{
    setStatus(tr(kReady));
    BitBtn1->setFocus();
}

void TFirmwareFrm::BitBtn1Click()
{
    // An image the bootloader cannot take is never started on: no byte goes out.
    if (!CarriedFirmwareImageAcceptable()) {
        ShowMessage(this, tr(kBadImage), kCaptionApp);
        return;
    }
    if (!confirmRun())
        return;
    Engine.Start();
}

bool TFirmwareFrm::confirmRun()
{
    return ConfirmCarriedImage(this, ComDriver, Serial_Port->ItemIndex(), CarriedFirmwareIsStandIn());
}

void TFirmwareFrm::STM_ISP()
{
    Engine.STM_ISP();
}

void TFirmwareFrm::Timer5Timer()
{
    Engine.Timer5Timer();
}

void TFirmwareFrm::OvertimeTTimer()
{
    Engine.OvertimeTTimer();
}

void TFirmwareFrm::portOpenFailed(int comNumber)
{
    ShowMessage(this, tr(kPortBusy).arg(comNumber), PortErrorCaption());
}
