#include "modbus/SettingTexts.h"

#include <QStringList>

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

std::optional<long long> ParseNumberText(const QString &text)
{
    // A digit, or a minus and a digit, starts a number (perhaps out of range).
    const int at = text.startsWith('-') ? 1 : 0;
    bool ok = false;
    long long v = 0;
    if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) && text.size() > 2 && text[2].isLetterOrNumber())
        v = text.mid(2).toLongLong(&ok, 16);
    else if (text.size() > at && text[at].isDigit())
        v = text.toLongLong(&ok, 10);
    if (!ok)
        return std::nullopt;
    return v;
}

bool ParseSettingValue(const TSettingRow &row, const QString &name, const QString &text, int &value, QString &why)
{
    switch (row.Kind) {
    case TSettingKind::Number: {
        const std::optional<long long> v = ParseNumberText(text);
        if (!v) {
            why = QStringLiteral("%1: \"%2\" is not a number").arg(name, text);
            return false;
        }
        if (*v < row.Min || *v > row.Max) {
            why = QStringLiteral("%1: %2 is out of range (%3 ... %4)").arg(name, text).arg(row.Min).arg(row.Max);
            return false;
        }
        value = static_cast<int>(*v);
        return true;
    }
    case TSettingKind::Level:
        if ((value = FindSettingText(row, text)) < 0) {
            why = QStringLiteral("%1: \"%2\" is not a %3 level (%4 ... %5)")
                      .arg(name, text, QString::fromLatin1(row.Name), QString::number(row.Lowest()),
                           QString::number(row.Highest()));
            return false;
        }
        return true;
    case TSettingKind::List:
        if ((value = FindSettingText(row, text)) < 0) {
            why = QStringLiteral("%1: \"%2\" is not one of %3").arg(name, text, SettingChoices(row));
            return false;
        }
        return true;
    }
    return false;
}

QString SettingValueText(const TSettingRow &row, int value)
{
    switch (row.Kind) {
    case TSettingKind::Number:
        return row.Unit ? QStringLiteral("%1 %2").arg(value).arg(QString::fromLatin1(row.Unit))
                        : QString::number(value);
    case TSettingKind::Level:
        return QStringLiteral("%1 (%2)").arg(value).arg(SettingText(row, value));
    case TSettingKind::List:
        break;
    }
    return SettingText(row, value);
}
