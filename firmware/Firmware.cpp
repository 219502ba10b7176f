#include "Firmware.h"

#include "Clock.h"
#include "FirmwareImage.h"
#include "Isp.h"
#include "StandInGuard.h"

#include <QGuiApplication>
#include <QScreen>

#include <algorithm>

TFirmwareFrm *FirmwareFrm = nullptr;

namespace {

const QString kCaption = QStringLiteral("TALVEX_M固件更新");
const QString kReady = QStringLiteral("就绪...");
const QString kSearching = QStringLiteral("正在查找设备。。。");
const QString kConnected = QStringLiteral("已成功连接");
const QString kNoContact = QStringLiteral("无法和设备通讯，请重新尝试");
const QString kErasing = QStringLiteral("正在擦除。。。");
const QString kProgress = QStringLiteral("写进度: ");
const QString kDone = QStringLiteral("上载完成！");
const QString kLinkFailed = QStringLiteral("连机失败！请检查通信线。");
const QString kPortBusyHead = QStringLiteral("当前串口号 COM");
const QString kPortBusyTail = QStringLiteral(" 已经被占用，或其它错误 ！\r请选择其它串口，或检查串口设置是否正确。");
const QString kBadImage = QStringLiteral("固件映像无效，无法更新 ！");
const QColor kBackground(0xF2, 0xF7, 0xFB);

// Command bytes start at byte 1 of the command/reply area.
constexpr int kCmd = 1;

uint8_t Xor(const uint8_t *bytes, int count, uint8_t seed = 0)
{
    for (int i = 0; i < count; ++i)
        seed ^= bytes[i];
    return seed;
}

} // namespace

TFirmwareFrm::TFirmwareFrm(QWidget *parent, std::unique_ptr<SerialPort> platform)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      ComDriver(nullptr, std::move(platform))
{
    FirmwareFrm = this;
    setObjectName("FirmwareFrm");
    setWindowTitle(kCaption);
    setFont(SongFont(16));
    setFixedSize(kClientWidth, kClientHeight);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, kBackground);
    setPalette(pal);
    setAutoFillBackground(true);

    Label1 = new QLabel(QStringLiteral("通信端口"), this);
    Label1->setObjectName("Label1");
    Label1->setGeometry(8, 10, 70, 24);

    Serial_Port = new TDropDownList(this, ComPortNames(), 0);
    Serial_Port->setObjectName("Serial_Port");
    Serial_Port->setGeometry(80, 8, 100, 26);

    BitBtn1 = new QPushButton(QStringLiteral("开始更新"), this);
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

    Panel1 = new QLabel(kReady, this);
    Panel1->setObjectName("Panel1");
    Panel1->setGeometry(8, 63, 312, 22);

    ComDriver.SetComPort(pnCOM1);
    OvertimeT.setObjectName("OvertimeT");
    OvertimeT.setInterval(Isp::kOvertimeIntervalMs);
    connect(&OvertimeT, &QTimer::timeout, this, &TFirmwareFrm::OvertimeTTimer);
    Timer5.setObjectName("Timer5");
    Timer5.setTimerType(Qt::PreciseTimer);
    Timer5.setInterval(Isp::kStepIntervalMs);
    connect(&Timer5, &QTimer::timeout, this, &TFirmwareFrm::Timer5Timer);

    if (QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

TFirmwareFrm::~TFirmwareFrm()
{
    if (FirmwareFrm == this)
        FirmwareFrm = nullptr;
}

void TFirmwareFrm::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    FormShow();
}

void TFirmwareFrm::setStatus(const QString &text)
{
    Panel1->setText(text);
    emit statusChanged(text);
}

void TFirmwareFrm::FormShow()
{
    setStatus(kReady);
    BitBtn1->setFocus();
}

QString TFirmwareFrm::VersionText(uint8_t version)
{
    return QStringLiteral("Boot:") + QString::number(version >> 4) + QLatin1Char('.') +
           QString::number(version & 0x0F);
}

void TFirmwareFrm::BitBtn1Click()
{
    // An image the bootloader cannot take is never started on: no byte goes out.
    if (!CarriedFirmwareImageAcceptable()) {
        ShowMessage(this, kBadImage, kCaptionApp);
        return;
    }
    if (!ConfirmCarriedImage(this, ComDriver, Serial_Port->ItemIndex(), CarriedFirmwareIsStandIn()))
        return;
    RetryCount = 0;
    STM_ISP();
}

void TFirmwareFrm::send(const uint8_t *bytes, int count)
{
    ComDriver.SendData(bytes, count);
}

void TFirmwareFrm::sendCommand(uint8_t code)
{
    IspBuffer[kCmd] = code;
    IspBuffer[kCmd + 1] = static_cast<uint8_t>(~code);
    send(&IspBuffer[kCmd], 2);
}

void TFirmwareFrm::sendAddress(uint32_t address)
{
    // Most significant byte first, then the XOR of the four.
    uint8_t *a = &IspBuffer[kCmd];
    for (int i = 0; i < 4; ++i)
        a[i] = static_cast<uint8_t>(address >> (24 - 8 * i));
    a[4] = Xor(a, 4);
    send(a, 5);
}

void TFirmwareFrm::STM_ISP()
{
    PortOpened = ComDriver.IsOpen();
    ComDriver.SetComPort(static_cast<TComPortNumber>(std::clamp(Serial_Port->ItemIndex(), 0, 7)));
    ComDriver.SetComPortSpeed(br115200);
    ComDriver.SetComPortDataBits(db8BITS);
    ComDriver.SetComPortParity(ptEVEN);
    ComDriver.SetComPortStopBits(sb1BITS);
    ComDriver.RxCount = 0;
    if (!ComDriver.Open()) {
        OvertimeT.stop();
        ShowMessage(this, kPortBusyHead + QString::number(Serial_Port->ItemIndex() + 1) + kPortBusyTail,
                    kCaptionPortError);
        return;
    }
    PortOpened = true;

    // Reset with BOOT0 held, then let the chip run into its bootloader.
    ComDriver.SetDtr(true);
    ComDriver.SetRts(true);
    SleepMs(Isp::kResetPulseMs);
    ComDriver.SetDtr(false);
    SleepMs(Isp::kBootSettleMs);

    IspState = 1;
    IspBuffer[kCmd] = Isp::kSync;
    send(&IspBuffer[kCmd], 1);
    ComDriver.RxCount = 0;
    setStatus(kSearching);
    OvertimeCount = Isp::kOvertimeStart;
    EnableTimer(OvertimeT, true);
    EnableTimer(Timer5, true);
}

void TFirmwareFrm::Timer5Timer()
{
    if (IspState < 1 || IspState > kStates)
        return;
    const int count = ComDriver.RxCount;
    if (count < ReplyLength[IspState])
        return;
    // The sync answer is judged by the last byte of the batch, so noise before it
    // does no harm; remember it before the copy is bounded to the reply area.
    const int bounded = std::min({count, int(kIspCommandLast), int(TQRTCommDriver::kRxBufferSize)});
    const uint8_t lastByte = ComDriver.RxBuffer[std::min(count, int(TQRTCommDriver::kRxBufferSize)) - 1];
    std::copy_n(ComDriver.RxBuffer, bounded, &IspBuffer[kIspCommandFirst]);
    ComDriver.RxCount = 0;
    if (!acceptReply(lastByte)) {
        if (IspState == 1)
            setStatus(kNoContact);
        return;
    }
    act();
}

bool TFirmwareFrm::acceptReply(uint8_t lastByte)
{
    const uint8_t *r = &IspBuffer[kCmd - 1];  // r[1] is the first byte received
    switch (IspState) {
    case 1:
        return lastByte == Isp::kAck;
    case 2:
        return r[1] == Isp::kAck && r[2] == Isp::kGetCommandCount && r[4] == Isp::kCmdGet && r[15] == Isp::kAck;
    case 3:
        return r[1] == Isp::kAck && r[2] == Isp::kGetIdLength && r[5] == Isp::kAck;
    default:
        return r[1] == Isp::kAck;
    }
}

void TFirmwareFrm::act()
{
    switch (IspState) {
    case 1:
        OvertimeCount = 0;
        sendCommand(Isp::kCmdGet);
        setStatus(kConnected);
        IspState = 2;
        break;
    case 2:
        OvertimeCount = 0;
        setStatus(VersionText(IspBuffer[kCmd + 2]));
        sendCommand(Isp::kCmdGetId);
        IspState = 3;
        break;
    case 3:
        OvertimeCount = 0;
        sendCommand(Isp::kCmdRead);
        IspState = 4;
        break;
    case 4:
        OvertimeCount = 0;
        sendAddress(Isp::kFlashSizeAddress);
        IspState = 5;
        break;
    case 5:
        OvertimeCount = 0;
        IspBuffer[kCmd] = Isp::kFlashSizeReadCount - 1;
        IspBuffer[kCmd + 1] = static_cast<uint8_t>(~IspBuffer[kCmd]);
        send(&IspBuffer[kCmd], 2);
        IspState = 6;
        break;
    case 6:
        OvertimeCount = 0;
        sendCommand(Isp::kCmdErase);
        IspState = 7;
        break;
    case 7:
        eraseStep();
        break;
    case 8:
        OvertimeCount = 0;
        sendCommand(Isp::kCmdWrite);
        IspState = 9;
        break;
    case 9:
        // The allowance of one block covers all three of its exchanges: no reset here.
        sendAddress(WriteAddress);
        IspState = 10;
        break;
    case 10:
        writeStep();
        break;
    case 11:
        finish();
        break;
    default:
        break;
    }
}

void TFirmwareFrm::eraseStep()
{
    OvertimeCount = 0;
    Timer5.stop();
    // A failed load leaves the run in this state; its time-out ends it.
    if (!LoadFirmwareImage())
        return;
    const int32_t size = static_cast<int32_t>(ImageStream ? ImageStream->size() : 0);
    WriteAddress = Isp::kFlashBase;
    ImageOffset = 0;
    BytesLeft = size;
    // One page more than the whole pages: covers the partial last page, and one
    // spare page when the size is an exact multiple.
    const int pages = size / Isp::kPageSize + 1;
    uint8_t *req = &IspBuffer[kCmd];
    req[0] = static_cast<uint8_t>(pages - 1);
    for (int p = 0; p < pages; ++p)
        req[1 + p] = static_cast<uint8_t>(p);
    req[1 + pages] = Xor(req, pages + 1);
    send(req, pages + 2);
    setStatus(kErasing);
    IspState = 8;
    EnableTimer(Timer5, true);
}

void TFirmwareFrm::writeStep()
{
    const int32_t size = static_cast<int32_t>(ImageStream ? ImageStream->size() : 0);
    const int n = std::min<int32_t>(BytesLeft, Isp::kMaxBlock);
    // The bootloader programs whole words only: a short last block is filled up
    // with the erased value, which leaves the flash beyond the image as it was.
    const int padded = (n + Isp::kWriteAlign - 1) / Isp::kWriteAlign * Isp::kWriteAlign;
    static const uint8_t kPadding[Isp::kWriteAlign] = {Isp::kErasedByte, Isp::kErasedByte, Isp::kErasedByte,
                                                      Isp::kErasedByte};
    const uint8_t *data = &IspBuffer[kIspImageFirst + static_cast<size_t>(ImageOffset)];
    uint8_t countByte = static_cast<uint8_t>(padded - 1);
    IspBuffer[kCmd] = countByte;
    send(&IspBuffer[kCmd], 1);
    send(data, n);
    if (padded > n)
        send(kPadding, padded - n);
    uint8_t checksum = Xor(data, n, countByte);
    checksum = Xor(kPadding, padded - n, checksum);
    IspBuffer[kCmd] = checksum;
    send(&IspBuffer[kCmd], 1);

    BytesLeft -= n;
    WriteAddress += static_cast<uint32_t>(n);
    ImageOffset += n;
    ProgressBar1->setValue(size > 0 ? ImageOffset * 100 / size : 0);
    setStatus(kProgress + QString::number(ProgressBar1->value()) + QLatin1Char('%'));
    IspState = BytesLeft > 0 ? 8 : 11;
}

void TFirmwareFrm::finish()
{
    IspState = 1;
    ProgressBar1->setValue(0);
    setStatus(kDone);
    OvertimeT.stop();
    Timer5.stop();
    // Let the chip restart into the new program.
    ComDriver.SetDtr(true);
    SleepMs(Isp::kFinishHoldMs);
    ComDriver.SetRts(false);
    if (PortOpened)
        ComDriver.Close();
}

void TFirmwareFrm::OvertimeTTimer()
{
    if (++OvertimeCount <= Isp::kOvertimeLimit)
        return;
    IspState = 1;
    ProgressBar1->setValue(0);
    setStatus(kLinkFailed);
    OvertimeT.stop();
    Timer5.stop();
    if (PortOpened)
        ComDriver.Close();
    if (++RetryCount < Isp::kMaxRuns)
        STM_ISP();
}
