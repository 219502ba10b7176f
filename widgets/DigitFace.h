#pragma once
// One face of a font, resolved once rather than at every paint: the font, its
// metrics, and the glyphs of the ten digits with their advances, so that a
// number is drawn without shaping its text. The grids and the exchange counter
// redraw numbers many times a second.
#include <QFont>
#include <QPainter>
#include <QRawFont>
#include <QString>

#include <array>

struct TDigitFace {
    explicit TDigitFace(const QFont &font);
    // Draws `text` with its top left corner at (x, y): the baseline lies `ascent` below.
    void Draw(QPainter &painter, int x, int y, const QString &text) const;
    // Whether `text` is drawn from the resolved glyphs (it is digits alone, and
    // the font has them all), and how wide it is then.
    bool DrawsFromGlyphs(const QString &text) const;
    qreal DigitsWidth(const QString &text) const;

    QFont font;
    int ascent = 0;
    int height = 0;  // the font's line height
    // The ink of any line of digits is no taller than the font's line height.
    bool digitsWithinLine = false;
    QRawFont raw;
    std::array<quint32, 10> digitGlyphs{};
    std::array<qreal, 10> digitAdvances{};
    bool digitsReady = false;
};
