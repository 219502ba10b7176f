#pragma once
// A read-only field for a count that changes many times a second (the exchange
// counter). It is the QLineEdit it looks like, made cheaper to change: its font
// asks for no shaping, and a text of digits alone, neither focused nor selected,
// is painted from glyphs resolved once for the font, where QLineEdit measures,
// shapes and lays the text out again at every paint. Whatever else it shows,
// QLineEdit paints.
#include "widgets/DigitFace.h"

#include <QLineEdit>

#include <optional>

class TCountField : public QLineEdit {
public:
    explicit TCountField(const QString &text, QWidget *parent = nullptr);
    // Whether the last paint took the short cut; for tests.
    bool PaintedQuickly() const { return paintedQuickly_; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    // Whether `text` may take the short cut in a field whose text area is `contents`.
    bool PaintsQuickly(const QString &text, const QRect &contents) const;

    std::optional<TDigitFace> face_;  // resolved at the first paint after a font change
    bool paintedQuickly_ = false;
};
