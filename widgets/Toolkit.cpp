#include "widgets/Toolkit.h"

#include "serial/PortNames.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>
#include <QWindow>

namespace {
MessageHook messageHook;
QuestionHook questionHook;

QString WithLineBreaks(QString text)
{
    return text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
}
}  // namespace

QString PortErrorCaption()
{
    return QCoreApplication::translate("Toolkit", kCaptionPortError.toUtf8().constData());
}

QStringList ComPortNames()
{
    QStringList names;
    for (int n = 1; n <= kComPortCount; ++n)
        names << QStringLiteral("COM%1").arg(n);
    return names;
}

void SetMessageHook(MessageHook hook)
{
    messageHook = std::move(hook);
}

void ShowMessage(QWidget *owner, const QString &text, const QString &caption)
{
    if (messageHook) {
        messageHook(owner, text, caption);
        return;
    }
    QMessageBox box(QMessageBox::Information, caption, WithLineBreaks(text), QMessageBox::Ok, owner);
    box.exec();
}

void SetQuestionHook(QuestionHook hook)
{
    questionHook = std::move(hook);
}

bool AskQuestion(QWidget *owner, const QString &text, const QString &caption)
{
    if (questionHook)
        return questionHook(owner, text, caption);
    QMessageBox box(QMessageBox::Question, caption, WithLineBreaks(text), QMessageBox::Yes | QMessageBox::No, owner);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

QFont SongFont(int pixelSize)
{
    QFont f;
    f.setFamilies({QStringLiteral("SimSun"), QStringLiteral("宋体"), QStringLiteral("WenQuanYi Micro Hei")});
    f.setPixelSize(pixelSize);
    return f;
}

QFont TimesFont(int pixelSize)
{
    QFont f;
    f.setFamilies({QStringLiteral("Times New Roman"), QStringLiteral("Liberation Serif"),
                   QStringLiteral("DejaVu Serif"), QStringLiteral("WenQuanYi Micro Hei")});
    f.setPixelSize(pixelSize);
    return f;
}

TDropDownList::TDropDownList(QWidget *parent, const QStringList &items, int itemIndex) : QComboBox(parent)
{
    setEditable(false);
    addItems(items);
    SetItemIndex(itemIndex);
}

void TDropDownList::SetItemIndex(int index)
{
    setCurrentIndex(index >= 0 && index < count() ? index : -1);
}

TSpinEdit::TSpinEdit(QWidget *parent, int minValue, int maxValue, int value, int maxLength) : QSpinBox(parent)
{
    setRange(minValue, maxValue);
    setValue(value);
    lineEdit()->setMaxLength(maxLength);
    // Typed text is clamped when the field loses the focus.
    setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
    setKeyboardTracking(false);
}

void TSpinEdit::SetValue(long long v)
{
    setValue(static_cast<int>(std::clamp<long long>(v, minimum(), maximum())));
}

TShape::TShape(QWidget *parent) : QWidget(parent), color_(SystemWindowColor())
{
}

void TShape::SetBrushColor(const QColor &c)
{
    color_ = c;
    update();
}

void TShape::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(rect(), color_);
}

QColor SystemWindowColor()
{
    return QApplication::palette().color(QPalette::Base);
}

void SetFontColor(QLabel *label, const QColor &c)
{
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, c);
    label->setPalette(pal);
}

QColor FontColor(const QLabel *label)
{
    return label->palette().color(QPalette::WindowText);
}

void PaintPendingNow(QWidget *widget)
{
    // Qt gathers a window's updates into one posted request; deliver it now.
    QCoreApplication::sendPostedEvents(widget->window(), QEvent::UpdateRequest);
}

void CentreOnScreen(QWidget *window)
{
    const QScreen *screen = window->screen();
    if (!screen)
        return;
    const QMargins frame = window->windowHandle() ? window->windowHandle()->frameMargins() : QMargins();
    QRect outer(QPoint(), window->size().grownBy(frame));
    outer.moveCenter(screen->availableGeometry().center());
    window->move(outer.topLeft());  // a window's position is its frame's
}
