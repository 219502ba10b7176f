#include "ui/Main.h"

#include "modbus/MODBUS_RTU.h"
#include "modbus/ModuleConfig.h"
#include "modbus/PollCycle.h"
#include "modbus/RegisterMap.h"
#include "serial/Clock.h"
#include "serial/LineFormat.h"
#include "ui/ClockText.h"
#include "ui/Firmware.h"
#include "widgets/CountField.h"
#include "widgets/PanelCache.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QLocale>
#include <QShowEvent>
#include <QStyle>
#include <QStyleFactory>

TMainForm *MainForm = nullptr;

namespace {

// Window texts in the source language; tr() gives them in the user's.
const char *const kCaption = QT_TRANSLATE_NOOP("TMainForm", "TALVEX_M测试程序 V1.50");
const char *const kGroupCaption = QT_TRANSLATE_NOOP("TMainForm", "通信参数");
const char *const kVersionCaption = QT_TRANSLATE_NOOP("TMainForm", "通信参数 (固件:%1)");
const char *const kConnect = QT_TRANSLATE_NOOP("TMainForm", "开始连接");
const char *const kDisconnect = QT_TRANSLATE_NOOP("TMainForm", "断开连接");
const char *const kPortHint = QT_TRANSLATE_NOOP("TMainForm", "获取可用的端口号");
const char *const kOpenFailed = QT_TRANSLATE_NOOP(
    "TMainForm", "当前串口号已经被占用，或其它错误 ！\r请选择其它串口，或检查串口设置是否正确。");

constexpr int kDefaultComIndex = 1;  // "COM2"
constexpr int kWindowFontPx = 16;
constexpr int kStatusStripHeight = 26;

QStringList Texts(const auto &table)
{
    QStringList out;
    for (const char *t : table)
        out << QString::fromUtf8(t);
    return out;
}

// A list's items in the user's language: the module's code tables mark the
// texts that have a translation (the filter levels).
QStringList ListTexts(const auto &table)
{
    QStringList out;
    for (const char *t : table)
        out << QCoreApplication::translate(kModuleTextsContext, t);
    return out;
}

QLabel *MakeLabel(QWidget *parent, const QString &text, const QRect &geometry)
{
    auto *label = new QLabel(text, parent);
    label->setGeometry(geometry);
    return label;
}

}  // namespace

TMainForm::TMainForm(QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint)
{
    MainForm = this;
    setObjectName("MainForm");
    setWindowTitle(tr(kCaption));
    setFont(SongFont(kWindowFontPx));
    setFixedSize(kClientWidth, kClientHeight);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    setPalette(pal);

    StringGrid1 = new TGridView(this, 9, 2, 26);
    StringGrid1->setObjectName("StringGrid1");
    StringGrid1->setGeometry(2, 2, 738, 57);
    StringGrid1->SetRowSelect(true);
    StringGrid1->SetFixedColors(QColor(0, 0, 255), Qt::white, TimesFont(16));
    StringGrid1->setFont(TimesFont(16));

    StringGrid2 = new TGridView(this, 5, 3, 36);
    StringGrid2->setObjectName("StringGrid2");
    StringGrid2->setGeometry(2, 62, 414, 114);
    StringGrid2->SetFixedColors(palette().color(QPalette::Button).lighter(105), palette().color(QPalette::WindowText),
                                TimesFont(21));
    StringGrid2->setFont(TimesFont(21));

    buildConfigurationGroup();
    buildCommunicationGroup();

    auto *strip = new QFrame(this);
    strip->setObjectName("StatusBar");
    strip->setFrameShape(QFrame::Panel);
    strip->setFrameShadow(QFrame::Raised);
    strip->setGeometry(0, kClientHeight - kStatusStripHeight, kClientWidth, kStatusStripHeight);
    TimerStr = new QLabel(QStringLiteral("12:00"), strip);
    TimerStr->setObjectName("TimerStr");
    TimerStr->setGeometry(6, 3, 360, 20);
    buildViewButtons(strip);

    TimerSec.setObjectName("TimerSec");
    TimerSec.setTimerType(Qt::PreciseTimer);
    TimerSec.setInterval(kClockIntervalMs);
    connect(&TimerSec, &QTimer::timeout, this, &TMainForm::TimerSecTimer);
    Timer1.setObjectName("Timer1");
    Timer1.setTimerType(Qt::PreciseTimer);
    Timer1.setInterval(kPollIntervalMs);
    connect(&Timer1, &QTimer::timeout, this, &TMainForm::Timer1Timer);
    // An adapter pulled out: the lamp must not go on reporting a connection that
    // no longer exists. The window goes to its disconnected state as "断开连接" takes it.
    connect(&ComDriver, &TQRTCommDriver::Lost, this, [this] {
        if (!SpeedButton1->isChecked())
            return;
        SpeedButton1->setChecked(false);
        SpeedButton1Click();
    });

    StringGrid1->OnDrawCell = [this](int c, int r, TGridDrawState s, TCellFormat &f) {
        StringGrid1DrawCell(c, r, s, f);
    };
    StringGrid2->OnDrawCell = [this](int c, int r, TGridDrawState s, TCellFormat &f) {
        StringGrid2DrawCell(c, r, s, f);
    };
    StringGrid2->OnSelectCell = [this](int c, int r, bool &canSelect) { StringGrid2SelectCell(c, r, canSelect); };
    StringGrid2->OnDblClick = [this] { StringGrid2DblClick(); };

    FormCreate();
    TimerSec.start();
    StringGrid2->setFocus();
}

void TMainForm::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // Centred on the desktop once, at the first showing, when the window's frame is known.
    if (!centred_ && !event->spontaneous()) {
        CentreOnScreen(this);
        centred_ = true;
    }
}

TMainForm::~TMainForm()
{
    SetModbusLink({});
    if (MainForm == this)
        MainForm = nullptr;
}

void TMainForm::buildCommunicationGroup()
{
    GroupBox1 = new QGroupBox(tr(kGroupCaption), this);
    GroupBox1->setObjectName("GroupBox1");
    GroupBox1->setGeometry(2, 180, 738, 88);

    auto *portLabel = MakeLabel(GroupBox1, tr("连接串口"), QRect(10, 24, 66, 24));
    portLabel->setToolTip(tr(kPortHint));
    ComboBox1 = new TPortList(GroupBox1, kDefaultComIndex);
    ComboBox1->setObjectName("ComboBox1");
    ComboBox1->setGeometry(78, 22, 84, 26);

    Shape1 = new TShape(GroupBox1);
    Shape1->setObjectName("Shape1");
    Shape1->setGeometry(166, 25, 7, 20);

    MakeLabel(GroupBox1, tr("产品地址"), QRect(186, 24, 66, 24));
    EX_Addr = new TDropDownList(GroupBox1);
    EX_Addr->setObjectName("EX_Addr");
    EX_Addr->setGeometry(254, 22, 64, 26);

    // The line of the next connect: the module's fixed port (57600 8 E 1) by default,
    // or the RS-485 line a module was given.
    MakeLabel(GroupBox1, tr("波特率"), QRect(332, 24, 50, 24));
    EX_Baud = new TDropDownList(GroupBox1, Texts(kBaud485Texts), kDefaultModbusLine.Baud);
    EX_Baud->setObjectName("EX_Baud");
    EX_Baud->setGeometry(384, 22, 76, 26);
    MakeLabel(GroupBox1, tr("格式"), QRect(466, 24, 34, 24));
    EX_Format = new TDropDownList(GroupBox1, Texts(kDat485Texts), kDefaultModbusLine.Format);
    EX_Format->setObjectName("EX_Format");
    EX_Format->setGeometry(500, 22, 70, 26);

    MakeLabel(GroupBox1, tr("通信计数"), QRect(574, 24, 66, 24));
    Edit4 = new TCountField(QStringLiteral("0"), GroupBox1);
    Edit4->setObjectName("Edit4");
    Edit4->setReadOnly(true);
    // Opaque, so that counting every exchange repaints the field alone and not
    // the group box (caption and frame) behind it.
    Edit4->setAutoFillBackground(true);
    Edit4->setGeometry(640, 22, 90, 26);
    auto *panelCache = new TPanelCacheStyle(QStyleFactory::create(style()->name()));
    panelCache->setParent(Edit4);
    Edit4->setStyle(panelCache);

    Label20 = MakeLabel(GroupBox1, tr("连接通信模式"), QRect(10, 56, 100, 24));
    Label20->setObjectName("Label20");
    Label20->setToolTip(tr(kPortHint));
    SetFontColor(Label20, Qt::black);
    ComboBox6 = new TDropDownList(GroupBox1, Texts(kModeTexts), kModeItemPcUart);
    ComboBox6->setObjectName("ComboBox6");
    ComboBox6->setGeometry(112, 54, 110, 26);

    SpeedButton1 = new QPushButton(tr(kConnect), GroupBox1);
    SpeedButton1->setObjectName("SpeedButton1");
    SpeedButton1->setCheckable(true);  // a press leaves it down, the next releases it
    SpeedButton1->setGeometry(482, 53, 120, 28);
    // clicked() comes after the button has flipped its state.
    connect(SpeedButton1, &QPushButton::clicked, this, &TMainForm::SpeedButton1Click);

    BitBtn1 = new QPushButton(tr("固件升级"), GroupBox1);
    BitBtn1->setObjectName("BitBtn1");
    BitBtn1->setGeometry(612, 53, 116, 28);
    connect(BitBtn1, &QPushButton::clicked, this, &TMainForm::BitBtn1Click);

    FindButton = new QPushButton(tr("查找模块"), GroupBox1);
    FindButton->setObjectName("FindButton");
    FindButton->setGeometry(368, 53, 104, 28);
    connect(FindButton, &QPushButton::clicked, this, &TMainForm::FindButtonClick);
    connect(ComboBox6, &QComboBox::currentIndexChanged, this, &TMainForm::UpdateFindButton);
    FindDlg = new TFindDlg(this);
}

void TMainForm::buildConfigurationGroup()
{
    RzGroupBox1 = new QGroupBox(tr("模块标定"), this);
    RzGroupBox1->setObjectName("RzGroupBox1");
    RzGroupBox1->setGeometry(420, 62, 320, 115);

    // Two columns of three rows, filled down the left column first, in the
    // order of kSettingControls.
    constexpr size_t kRowsPerColumn = 3;
    constexpr int kLabelX[] = {2, 162}, kLabelW[] = {84, 74}, kFieldX[] = {86, 239}, kFieldW[] = {73, 77};
    constexpr int kRow0 = 26, kRowStep = 29, kFieldH = 26;
    for (size_t i = 0; i < kSettingControls.size(); ++i) {
        const TSettingControl &c = kSettingControls[i];
        const TSettingRow &row = kModuleSettings[i];
        const size_t column = i / kRowsPerColumn;
        const int y = kRow0 + static_cast<int>(i % kRowsPerColumn) * kRowStep;
        QLabel *label = MakeLabel(RzGroupBox1, tr(c.Label) + QLatin1Char(':'),
                                  QRect(kLabelX[column], y, kLabelW[column], kFieldH));
        QWidget *field = nullptr;
        if (c.Number) {
            // As many characters as the largest value has digits.
            const int maxLength = static_cast<int>(QString::number(row.Max).size());
            field = this->*c.Number = new TSpinEdit(RzGroupBox1, row.Min, row.Max, c.Initial, maxLength);
        } else {
            field = this->*c.List = new TDropDownList(RzGroupBox1, ListTexts(row.Texts), c.Initial);
        }
        field->setObjectName(c.ObjectName);
        field->setGeometry(kFieldX[column], y, kFieldW[column], kFieldH);
        if (c.Hint) {
            label->setToolTip(tr(c.Hint));
            field->setToolTip(tr(c.Hint));
        }
    }

    // The write button sits at the right end of the group's caption line.
    BitBtn2 = new QPushButton(tr("标定到模块"), RzGroupBox1);
    BitBtn2->setObjectName("BitBtn2");
    BitBtn2->setGeometry(214, 0, 104, 24);
    BitBtn2->setEnabled(false);
    connect(BitBtn2, &QPushButton::clicked, this, &TMainForm::BitBtn2Click);
}

void TMainForm::FormCreate()
{
    setAttribute(Qt::WA_OpaquePaintEvent, false);  // Qt paints double-buffered already
    ResetRegisterMirror();

    QStringList stations;
    for (int s = kStationMin; s <= kStationMax; ++s)
        stations << QString::number(s);
    EX_Addr->clear();
    EX_Addr->addItems(stations);
    EX_Addr->SetItemIndex(0);

    StringGrid1->SetCells(0, 0, tr("AD编号"));
    StringGrid1->SetCells(0, 1, tr("采集数值"));
    StringGrid2->SetCells(0, 0, tr("DA编号"));
    StringGrid2->SetCells(0, 1, tr("设DA值"));
    StringGrid2->SetCells(0, 2, tr("设增益"));
    constexpr int kFixedColWidth = 86;
    StringGrid1->SetColWidth(0, kFixedColWidth);
    StringGrid2->SetColWidth(0, kFixedColWidth);
    for (int c = 1; c <= Reg::AD_Count; ++c)
        StringGrid1->SetCells(c, 0, QStringLiteral(" AD0") + QString::number(c - 1));
    for (int c = 1; c <= Reg::DA_Count; ++c)
        StringGrid2->SetCells(c, 0, QStringLiteral(" DA0") + QString::number(c - 1));
    ShowGridValues();

    ExchangeCount = 0;

    // The poll reads the line at every tick of Timer1 (the Modbus routines read
    // it whenever they look): the driver need not wake for each reply as well.
    ComDriver.SetOwnerReadInterval(kOwnerReadIntervalMs);
    // The Modbus routines ask for station and mode at every frame.
    SetModbusLink({&ComDriver, [this] { return std::max(0, EX_Addr->ItemIndex()) + 1; },
                   [this] { return LinkModeOfItem(ComboBox6->ItemIndex()); }});
}

void TMainForm::TimerSecTimer()
{
    TimerStr->setText(ClockText(QDateTime::currentDateTime(), QLocale::system()));
}

bool TMainForm::OpenComPort()
{
    ComDriver.SetComPort(ComPortOfIndex(ComboBox1->ItemIndex()));
    if (!OpenWithLine(ComDriver, LineFormatOf(ChosenLine()))) {
        ShowMessage(this, tr(kOpenFailed), PortErrorCaption());
        return false;
    }
    Shape1->SetBrushColor(kLime);
    return true;
}

void TMainForm::SpeedButton1Click()
{
    if (SpeedButton1->isChecked()) {
        if (OpenComPort()) {
            SpeedButton1->setText(tr(kDisconnect));
            Timer1.start();
            SendPending = true;
        } else {
            SpeedButton1->setChecked(false);
            ExchangeCount = 0;
        }
        UpdateFindButton();
        return;
    }
    SpeedButton1->setText(tr(kConnect));
    Shape1->SetBrushColor(SystemWindowColor());
    SetFontColor(Label20, Qt::black);
    ComDriver.Close();
    Timer1.stop();
    LinkOk = false;
    BitBtn2->setEnabled(false);
    ExchangeCount = 0;
    UpdateFindButton();
}

bool TMainForm::WriteWhilePollingPaused(const std::function<bool()> &write)
{
    Timer1.stop();
    SleepMs(kPauseBeforeWriteMs);
    const bool ok = write();
    Timer1.start();
    return ok;
}

QString TMainForm::VersionText(uint16_t word)
{
    return QString::fromStdString(FirmwareVersionText(word));
}

void TMainForm::Timer1Timer()
{
    if (PollStep(SendPending, PollWaitTicks) != TPollStep::Exchange)
        return;

    showFirmwareVersion(RegisterMirror[Reg::FW_Version]);
    ShowGridValues();
    FeedTrend();
    // The handshake below can block in its writes for seconds: the values read
    // are painted before it. Otherwise the tick ends here and they are painted
    // at once, together with the count.
    if (ComboBox6->ItemIndex() == kModeItemPlcCan)
        PaintPendingNow(this);
    if (++ExchangeCount < 5)
        ReadBackConfiguration();
    if (LinkModeOfItem(ComboBox6->ItemIndex()) == TLinkMode::PlcCan) {
        if (CanHandshakeStep() && FontColor(Label20) == QColor(Qt::black)) {
            SetFontColor(Label20, Qt::red);
            ExchangeCount = 0;
        }
    }
    Edit4->setText(QString::number(ExchangeCount));
    LinkOk = true;
    BitBtn2->setEnabled(true);
}

void TMainForm::showFirmwareVersion(uint16_t word)
{
    // The caption is composed again only when the word changes, not at every exchange.
    if (shownVersion_ == word)
        return;
    shownVersion_ = word;
    GroupBox1->setTitle(tr(kVersionCaption).arg(VersionText(word)));
}

TModbusLine TMainForm::ChosenLine() const
{
    return {EX_Baud->ItemIndex(), EX_Format->ItemIndex()};
}

void TMainForm::UpdateFindButton()
{
    FindButton->setEnabled(!SpeedButton1->isChecked() && ComboBox6->ItemIndex() == kModeItemPcUart);
}

void TMainForm::FindButtonClick()
{
    // The dialog searches on this window's port with its own port object; a
    // connected window holds the port, so the button is off then.
    if (SpeedButton1->isChecked())
        return;
    FindDlg->SetPort(ComPortOfIndex(ComboBox1->ItemIndex()));
    if (FindDlg->exec() != QDialog::Accepted || !FindDlg->Chosen())
        return;
    const TFoundModule &m = *FindDlg->Chosen();
    EX_Addr->SetItemIndex(m.Station - kStationMin);
    EX_Baud->SetItemIndex(m.Line.Baud);
    EX_Format->SetItemIndex(m.Line.Format);
    SpeedButton1->click();
}

void TMainForm::BitBtn1Click()
{
    // The update window uses its own port object; this window's connection and
    // polling go on behind it, so a port still held here cannot be opened there.
    if (!FirmwareFrm)
        return;
    FirmwareFrm->Serial_Port->SetItemIndex(ComboBox1->ItemIndex());
    FirmwareFrm->exec();
}
