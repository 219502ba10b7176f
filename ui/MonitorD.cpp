#include "ui/MonitorD.h"

#include "widgets/Toolkit.h"

#include <QKeyEvent>
#include <QLabel>

TMonitorDf *MonitorDf = nullptr;

namespace {
const char *const kRangeMessage = QT_TRANSLATE_NOOP("TMonitorDf", "设定范围: 0-65535 ！");
const char *const kCommFailed = QT_TRANSLATE_NOOP("TMonitorDf", "通信失败 ！");
constexpr QChar kBackspace = QChar(0x08);

// Whether a key types a character into the field. Some editing and focus keys
// carry a character on some window systems (Delete 0x7F, Tab 0x09) but type
// nothing; the arrows, Home and End carry none.
bool TypesACharacter(const QKeyEvent &key)
{
    if (key.text().isEmpty())
        return false;
    switch (key.key()) {
    case Qt::Key_Delete:
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        return false;
    default:
        return true;
    }
}

bool AllDigits(const QString &text)
{
    for (QChar c : text)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    return true;
}
}  // namespace

TMonitorDf::TMonitorDf(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint)
{
    MonitorDf = this;
    setObjectName("MonitorDf");
    setWindowTitle(tr(" 写寄存器 "));
    setFont(SongFont(16));
    setFixedSize(kClientWidth, kClientHeight);

    GroupBox1 = new QGroupBox(tr(" 写至模块(D) 寄存器 "), this);
    GroupBox1->setObjectName("GroupBox1");
    GroupBox1->setGeometry(4, 2, 257, 124);
    GroupBox1->setStyleSheet(QStringLiteral("QGroupBox { color: red; }"));

    CheckBox1 = new QCheckBox(tr("写入后关闭对话框"), GroupBox1);
    CheckBox1->setObjectName("CheckBox1");
    CheckBox1->setGeometry(10, 22, 200, 22);
    CheckBox1->setChecked(true);

    const QColor kLabelBlue(0, 0, 255);
    auto *regLabel = new QLabel(tr("寄存器 D:"), GroupBox1);
    regLabel->setGeometry(10, 52, 80, 26);
    SetFontColor(regLabel, kLabelBlue);
    Edit2 = new QLineEdit(GroupBox1);
    Edit2->setObjectName("Edit2");
    Edit2->setFont(SongFont(19));
    Edit2->setMaxLength(kFieldChars);
    Edit2->setEnabled(false);
    Edit2->setGeometry(92, 50, 70, 28);

    auto *valueLabel = new QLabel(tr("写入数值:"), GroupBox1);
    valueLabel->setGeometry(10, 86, 80, 26);
    SetFontColor(valueLabel, kLabelBlue);
    Edit1 = new QLineEdit(GroupBox1);
    Edit1->setObjectName("Edit1");
    Edit1->setFont(SongFont(19));
    Edit1->setMaxLength(kFieldChars);
    Edit1->setGeometry(92, 84, 70, 28);
    Edit1->installEventFilter(this);
    connect(Edit1, &QLineEdit::textChanged, this, &TMonitorDf::Edit1Change);

    BitBtn1 = new QPushButton(tr("写入(&W)"), GroupBox1);
    BitBtn1->setObjectName("BitBtn1");
    BitBtn1->setGeometry(170, 50, 80, 28);
    BitBtn1->setAutoDefault(false);
    connect(BitBtn1, &QPushButton::clicked, this, &TMonitorDf::BitBtn1Click);

    BitBtn3 = new QPushButton(tr("关闭(&C)"), GroupBox1);
    BitBtn3->setObjectName("BitBtn3");
    BitBtn3->setGeometry(170, 84, 80, 28);
    BitBtn3->setAutoDefault(false);
    connect(BitBtn3, &QPushButton::clicked, this, &TMonitorDf::BitBtn3Click);
}

TMonitorDf::~TMonitorDf()
{
    if (MonitorDf == this)
        MonitorDf = nullptr;
}

void TMonitorDf::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    // A show by the window system (restored from minimised) is not a showing:
    // what the user set in the dialog stays.
    if (!event->spontaneous())
        FormShow();
}

void TMonitorDf::keyPressEvent(QKeyEvent *event)
{
    // Enter and Escape act only in the value field, not as the dialog's own keys.
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
        event->accept();
        return;
    default:
        QDialog::keyPressEvent(event);
    }
}

void TMonitorDf::FormShow()
{
    CheckBox1->setChecked(true);
    Edit1->setFocus();
}

bool TMonitorDf::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == Edit1 && event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (Edit1KeyDown(key->key()))
            return true;
        if (TypesACharacter(*key) && !Edit1KeyPress(key->text().at(0)))
            return true;
    }
    return QDialog::eventFilter(watched, event);
}

bool TMonitorDf::Edit1KeyPress(QChar key)
{
    // Control characters are judged like any other: Ctrl+V, Ctrl+X, Ctrl+Z and
    // their kin arrive as characters 0x16, 0x18, 0x1A ... and go no further.
    return key == kBackspace || (key >= QLatin1Char('0') && key <= QLatin1Char('9'));
}

bool TMonitorDf::Edit1KeyDown(int key)
{
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
        BitBtn1Click();
        return true;
    }
    if (key == Qt::Key_Escape) {
        BitBtn3Click();
        return true;
    }
    return false;
}

void TMonitorDf::Edit1Change()
{
    if (changing_)
        return;
    changing_ = true;
    QString text = Edit1->text();
    if (text.isEmpty()) {
        Edit1->setText(QStringLiteral("0"));
    } else if (!AllDigits(text)) {
        // Only a paste brings other characters; keep what the user last saw, so
        // the write never sends a value that was not on screen.
        Edit1->setText(lastAccepted_);
    } else if (text.toLongLong() > kMaxValue) {
        ShowMessage(this, tr(kRangeMessage), kCaptionApp);
        Edit1->setText(QString::number(kMaxValue));
    }
    lastAccepted_ = Edit1->text();
    changing_ = false;
}

void TMonitorDf::BitBtn1Click()
{
    const int reg = Edit2->text().toInt();
    const uint16_t value = static_cast<uint16_t>(Edit1->text().toUInt());
    const bool ok = writeRegister_ && writeRegister_(reg, value);
    if (!ok)
        ShowMessage(this, tr(kCommFailed), kCaptionApp);
    if (CheckBox1->isChecked())
        close();
}

void TMonitorDf::BitBtn3Click()
{
    close();
}
