#include "widgets/CountField.h"

#include <QApplication>
#include <QEvent>
#include <QStyle>
#include <QStyleOptionFrame>

#include <cmath>

namespace {
// QLineEdit keeps this gap between its text area and the text.
constexpr int kTextMargin = 2;
constexpr Qt::Alignment kPlainAlignment = Qt::AlignLeft | Qt::AlignVCenter;
}  // namespace

TCountField::TCountField(const QString &text, QWidget *parent) : QLineEdit(text, parent)
{
    setReadOnly(true);
    // Digits need no shaping: each new count is laid out from the font's
    // character map alone. Family and size still come from the parent.
    QFont direct;
    direct.setStyleStrategy(QFont::PreferNoShaping);
    setFont(direct);
}

void TCountField::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::FontChange)
        face_.reset();
    QLineEdit::changeEvent(event);
}

bool TCountField::PaintsQuickly(const QString &text, const QRect &contents) const
{
    if (!isReadOnly() || hasFocus() || hasSelectedText() || echoMode() != Normal || alignment() != kPlainAlignment ||
        layoutDirection() != Qt::LeftToRight || !textMargins().isNull() || isClearButtonEnabled() ||
        !actions().isEmpty() || !inputMask().isEmpty() || !styleSheet().isEmpty() || !qApp->styleSheet().isEmpty())
        return false;
    if (!face_->digitsWithinLine || !face_->DrawsFromGlyphs(text))
        return false;
    // A text wider than the field scrolls; only one that fits starts at the left.
    return std::ceil(face_->DigitsWidth(text)) + 1 <= contents.width() - 2 * kTextMargin;
}

void TCountField::paintEvent(QPaintEvent *event)
{
    if (!face_)
        face_.emplace(font());
    QStyleOptionFrame panel;
    initStyleOption(&panel);
    const QRect contents = style()->subElementRect(QStyle::SE_LineEditContents, &panel, this);
    const QString shown = text();
    paintedQuickly_ = PaintsQuickly(shown, contents);
    if (!paintedQuickly_) {
        QLineEdit::paintEvent(event);
        return;
    }
    // What QLineEdit draws for such a text: the panel, then the text at the left
    // of the text area, centred on the font's line height.
    QPainter painter(this);
    style()->drawPrimitive(QStyle::PE_PanelLineEdit, &panel, &painter, this);
    painter.setClipRect(contents);
    painter.setPen(palette().text().color());
    const int top = contents.y() + (contents.height() - face_->height + 1) / 2;
    face_->Draw(painter, contents.x() + kTextMargin, top, shown);
}
