#pragma once
// The small set of window services the forms rely on, on top of Qt Widgets:
// message boxes through one function, drop-down lists whose out-of-range index
// selects nothing, clamping spin edits, a filled shape, label colours, timers
// that keep their phase when enabled twice.
#include <QColor>
#include <QComboBox>
#include <QFont>
#include <QSpinBox>
#include <QString>
#include <QWidget>

#include <functional>

class QLabel;

// Captions of the message boxes: the program's name, and the port errors' in
// the source language, which PortErrorCaption() gives in the user's.
inline const QString kCaptionApp = QStringLiteral("TALVEX_M");
inline const QString kCaptionPortError = QStringLiteral(QT_TRANSLATE_NOOP("Toolkit", "串口错误"));
QString PortErrorCaption();

// The port lists: "COM1" ... "COM8", item index n opening COM(n+1).
QStringList ComPortNames();

// Modal information box with one OK button, owned by `owner`. A "\r" in the
// text starts a new line. Blocks until dismissed.
void ShowMessage(QWidget *owner, const QString &text, const QString &caption);

// Tests install a hook to see what would be shown, without anyone pressing OK.
// While a hook is installed no box is shown.
using MessageHook = std::function<void(QWidget *owner, const QString &text, const QString &caption)>;
void SetMessageHook(MessageHook hook);

// Modal question box with the buttons Yes and No, owned by `owner`. No is the
// default, so Enter and Escape both answer No. True only for Yes.
bool AskQuestion(QWidget *owner, const QString &text, const QString &caption);

// Tests answer in place of the user; while a hook is installed no box is shown.
using QuestionHook = std::function<bool(QWidget *owner, const QString &text, const QString &caption)>;
void SetQuestionHook(QuestionHook hook);

// The window font: 宋体 at the given pixel height, with a CJK fallback that
// Debian ships (fonts-wqy-microhei).
QFont SongFont(int pixelSize);
QFont TimesFont(int pixelSize);

// Drop-down list (not editable).
class TDropDownList : public QComboBox {
    Q_OBJECT
public:
    explicit TDropDownList(QWidget *parent, const QStringList &items = {}, int itemIndex = -1);
    int ItemIndex() const { return currentIndex(); }
    // An index outside the items selects nothing.
    void SetItemIndex(int index);
};

// Integer field with arrows; the value always lies within [min, max].
class TSpinEdit : public QSpinBox {
    Q_OBJECT
public:
    TSpinEdit(QWidget *parent, int minValue, int maxValue, int value, int maxLength);
    int Value() const { return value(); }
    // Clamps to the range.
    void SetValue(long long v);
};

// A filled rectangle without outline.
class TShape : public QWidget {
    Q_OBJECT
public:
    explicit TShape(QWidget *parent);
    QColor BrushColor() const { return color_; }
    void SetBrushColor(const QColor &c);

protected:
    void paintEvent(QPaintEvent *) override;

private:
    QColor color_;
};

QColor SystemWindowColor();
inline const QColor kLime(0, 255, 0);

void SetFontColor(QLabel *label, const QColor &c);
QColor FontColor(const QLabel *label);

// Moves a window so that its frame, title bar and borders included, is centred
// on the available area of its screen. Before the window exists on the screen
// its frame is not known, and the client area is centred instead.
void CentreOnScreen(QWidget *window);

// Paints what is waiting to be painted in the window of `widget` at once, rather
// than when the event loop next gets to it: for a handler about to block.
void PaintPendingNow(QWidget *widget);
