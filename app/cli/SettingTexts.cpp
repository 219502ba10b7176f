#include "SettingTexts.h"

#include "RegisterMap.h"

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

template <size_t N>
QString TextAt(const std::array<const char *, N> &table, int index)
{
    return index >= 0 && static_cast<size_t>(index) < N ? QString::fromUtf8(table[static_cast<size_t>(index)])
                                                        : QString();
}

template <size_t N>
QString Choices(const std::array<const char *, N> &table)
{
    QStringList out;
    for (const char *t : table)
        out << QStringLiteral("\"%1\"").arg(QString::fromUtf8(t));
    return out.join(QStringLiteral(", "));
}

} // namespace

template <size_t N>
int FindListText(const QString &text, const std::array<const char *, N> &table)
{
    const QString wanted = Canonical(text);
    if (wanted.isEmpty())
        return -1;
    for (size_t i = 0; i < N; ++i)
        if (Canonical(QString::fromUtf8(table[i])) == wanted)
            return static_cast<int>(i);
    return -1;
}

int FindBaudCan(const QString &text) { return FindListText(text, kBaudCanTexts); }
int FindBaud485(const QString &text) { return FindListText(text, kBaud485Texts); }
int FindDat485(const QString &text) { return FindListText(text, kDat485Texts); }

int FindFilter(const QString &text)
{
    bool ok = false;
    const int level = text.trimmed().toInt(&ok, 10);
    if (ok)
        return level >= 0 && static_cast<size_t>(level) < kFilterTexts.size() ? level : -1;
    return FindListText(text, kFilterTexts);
}

QString BaudCanText(int index) { return TextAt(kBaudCanTexts, index); }
QString Baud485Text(int index) { return TextAt(kBaud485Texts, index); }
QString Dat485Text(int index) { return TextAt(kDat485Texts, index); }
QString FilterText(int index) { return TextAt(kFilterTexts, index); }

QString BaudCanChoices() { return Choices(kBaudCanTexts); }
QString Baud485Choices() { return Choices(kBaud485Texts); }
QString Dat485Choices() { return Choices(kDat485Texts); }

} // namespace talvex::cli
