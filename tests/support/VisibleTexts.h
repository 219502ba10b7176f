#pragma once
// Every text a window shows, read from its controls as a user sees them, with
// the width each needs and the room its control gives it at the window's size.
#include "widgets/GridView.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QList>
#include <QPushButton>
#include <QStyle>
#include <QStyleOption>

#include <algorithm>

struct ShownText {
    QString where;  // the control (its objectName) and the part of it
    QString text;
    int needed = 0;  // pixels the text takes in the control's font
    int room = -1;   // pixels the control gives it; -1 where it wraps or is not laid out (tool tips)
};

// Chinese, Japanese and Korean characters, their punctuation and full-width forms.
inline bool HasCjk(const QString &text)
{
    return std::any_of(text.begin(), text.end(), [](QChar c) {
        const char16_t u = c.unicode();
        return (u >= 0x2E80 && u <= 0x9FFF) || (u >= 0xAC00 && u <= 0xD7AF) || (u >= 0xF900 && u <= 0xFAFF) ||
               (u >= 0xFE30 && u <= 0xFE4F) || (u >= 0xFF00 && u <= 0xFFEF);
    });
}

inline int TextWidth(const QFont &font, const QString &text)
{
    return QFontMetrics(font).horizontalAdvance(text);
}

// A button's text as drawn: the accelerator's "&" is not.
inline QString Drawn(QString text)
{
    return text.replace(QLatin1String("&&"), QLatin1String("\x01")).remove('&').replace('\x01', '&');
}

inline QList<ShownText> VisibleTexts(QWidget *window)
{
    // The text a grid cell is drawn at, right of the cell's edge.
    constexpr int kCellTextInset = 2;
    QList<ShownText> out{{window->objectName() + " caption", window->windowTitle()}};
    for (QWidget *w : window->findChildren<QWidget *>()) {
        if (!w->isVisibleTo(window))
            continue;
        const QString name = w->objectName().isEmpty() ? QString::fromLatin1(w->metaObject()->className())
                                                       : w->objectName();
        if (!w->toolTip().isEmpty())
            out.append({name + " tool tip", w->toolTip()});
        if (auto *label = qobject_cast<QLabel *>(w)) {
            out.append({name, label->text(), TextWidth(label->font(), label->text()),
                        label->wordWrap() ? -1 : label->contentsRect().width()});
        } else if (auto *button = qobject_cast<QPushButton *>(w)) {
            QStyleOptionButton opt;
            opt.initFrom(button);
            opt.rect = button->rect();
            const QRect contents = button->style()->subElementRect(QStyle::SE_PushButtonContents, &opt, button);
            constexpr int kIconGap = 4;
            const int icon = button->icon().isNull() ? 0 : button->iconSize().width() + kIconGap;
            out.append(
                {name, button->text(), TextWidth(button->font(), Drawn(button->text())) + icon, contents.width()});
        } else if (auto *check = qobject_cast<QCheckBox *>(w)) {
            QStyleOptionButton opt;
            opt.initFrom(check);
            opt.rect = check->rect();
            const QRect contents = check->style()->subElementRect(QStyle::SE_CheckBoxContents, &opt, check);
            out.append({name, check->text(), TextWidth(check->font(), Drawn(check->text())), contents.width()});
        } else if (auto *box = qobject_cast<QGroupBox *>(w)) {
            QStyleOptionGroupBox opt;
            opt.initFrom(box);
            opt.rect = box->rect();
            opt.text = box->title();
            opt.textAlignment = box->alignment();
            opt.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
            const QRect label = box->style()->subControlRect(QStyle::CC_GroupBox, &opt, QStyle::SC_GroupBoxLabel, box);
            // Up to the box's edge, or to a control that sits on the caption line.
            int room = box->width() - label.left();
            for (QWidget *child : box->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
                if (child->isVisibleTo(window) && child->geometry().top() < label.bottom() &&
                    child->geometry().left() > label.left())
                    room = std::min(room, child->geometry().left() - label.left());
            out.append({name, box->title(), TextWidth(box->font(), box->title()), room});
        } else if (auto *combo = qobject_cast<QComboBox *>(w)) {
            QStyleOptionComboBox opt;
            opt.initFrom(combo);
            opt.rect = combo->rect();
            opt.editable = combo->isEditable();
            opt.subControls = QStyle::SC_All;
            const QRect field = combo->style()->subControlRect(QStyle::CC_ComboBox, &opt, QStyle::SC_ComboBoxEditField,
                                                               combo);
            for (int i = 0; i < combo->count(); ++i)
                out.append({QStringLiteral("%1 item %2").arg(name).arg(i), combo->itemText(i),
                            TextWidth(combo->font(), combo->itemText(i)), field.width()});
        } else if (auto *edit = qobject_cast<QLineEdit *>(w)) {
            out.append({name, edit->text(), TextWidth(edit->font(), edit->text()), edit->contentsRect().width()});
        } else if (auto *grid = qobject_cast<TGridView *>(w)) {
            for (int row = 0; row < grid->RowCount(); ++row)
                for (int col = 0; col < grid->ColCount(); ++col)
                    out.append({QStringLiteral("%1 cell %2,%3").arg(name).arg(col).arg(row), grid->Cells(col, row),
                                TextWidth(grid->font(), grid->Cells(col, row)) + kCellTextInset, grid->ColWidth(col)});
        }
    }
    return out;
}
