#include "app/cli/SettingTexts.h"

#include <QStringList>

namespace talvex::cli {

namespace {

QString Canonical(const QString &text)
{
    QString out;
    for (const QChar c : text)
        if (!c.isSpace())
            out += c.toUpper();
    return out;
}

}  // namespace

int FindSettingText(const TSettingRow &row, const QString &text)
{
    if (row.Kind == TSettingKind::Level) {
        bool ok = false;
        const int level = text.trimmed().toInt(&ok, 10);
        if (ok)
            return row.Holds(level) ? level : -1;
    }
    const QString wanted = Canonical(text);
    if (wanted.isEmpty())
        return -1;
    for (size_t i = 0; i < row.Texts.size(); ++i)
        if (Canonical(QString::fromUtf8(row.Texts[i])) == wanted)
            return static_cast<int>(i);
    return -1;
}

QString SettingText(const TSettingRow &row, int index)
{
    return index >= 0 && static_cast<size_t>(index) < row.Texts.size()
               ? QString::fromUtf8(row.Texts[static_cast<size_t>(index)])
               : QString();
}

QString SettingChoices(const TSettingRow &row)
{
    QStringList out;
    for (const char *t : row.Texts)
        out << QStringLiteral("\"%1\"").arg(QString::fromUtf8(t));
    return out.join(QStringLiteral(", "));
}

}  // namespace talvex::cli
