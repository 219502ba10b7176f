#include "widgets/DigitFace.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QGlyphRun>

#include <algorithm>
#include <cmath>

namespace {
const QString kDigits = QStringLiteral("0123456789");

bool IsDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}
}  // namespace

TDigitFace::TDigitFace(const QFont &f) : font(f)
{
    const QFontMetrics metrics(font);
    ascent = metrics.ascent();
    height = metrics.height();
    raw = QRawFont::fromFont(font, QFontDatabase::Latin);
    if (!raw.isValid())
        return;
    const QList<quint32> glyphs = raw.glyphIndexesForString(kDigits);
    if (glyphs.size() != int(digitGlyphs.size()))
        return;
    const QList<QPointF> advances = raw.advancesForGlyphIndexes(glyphs);
    qreal inkTop = 0, inkBottom = 0;
    for (size_t d = 0; d < digitGlyphs.size(); ++d) {
        if (glyphs[int(d)] == 0)  // the font has no such digit: leave it to the text engine
            return;
        digitGlyphs[d] = glyphs[int(d)];
        digitAdvances[d] = advances.value(int(d)).x();
        const QRectF ink = raw.boundingRect(digitGlyphs[d]);
        inkTop = std::min(inkTop, ink.top());
        inkBottom = std::max(inkBottom, ink.bottom());
    }
    digitsWithinLine = std::ceil(inkBottom - inkTop) <= height;
    digitsReady = true;
}

bool TDigitFace::DrawsFromGlyphs(const QString &text) const
{
    return digitsReady && !text.isEmpty() && std::all_of(text.begin(), text.end(), IsDigit);
}

qreal TDigitFace::DigitsWidth(const QString &text) const
{
    qreal width = 0;
    for (QChar c : text)
        if (IsDigit(c))
            width += digitAdvances[static_cast<size_t>(c.unicode() - '0')];
    return width;
}

void TDigitFace::Draw(QPainter &painter, int x, int y, const QString &text) const
{
    if (!DrawsFromGlyphs(text)) {
        painter.setFont(font);
        painter.drawText(QPoint(x, y + ascent), text);
        return;
    }
    // The values are numbers: their glyphs are known, nothing needs shaping.
    QList<quint32> glyphs;
    QList<QPointF> positions;
    glyphs.reserve(text.size());
    positions.reserve(text.size());
    qreal advance = 0;
    for (QChar c : text) {
        const size_t d = static_cast<size_t>(c.unicode() - '0');
        glyphs.append(digitGlyphs[d]);
        positions.append(QPointF(advance, 0));
        advance += digitAdvances[d];
    }
    QGlyphRun run;
    run.setRawFont(raw);
    run.setGlyphIndexes(glyphs);
    run.setPositions(positions);
    painter.drawGlyphRun(QPointF(x, y + ascent), run);
}
