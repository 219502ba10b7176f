#include "ui/ClockText.h"

QString ClockText(const QDateTime &moment, const QLocale &locale)
{
    // The long time form without the zone name: hours, minutes and seconds.
    QString timeFormat = locale.timeFormat(QLocale::LongFormat);
    timeFormat.remove(QStringLiteral(" t")).remove(QLatin1Char('t'));
    return locale.toString(moment.date(), QLocale::ShortFormat) + QStringLiteral("  ") +
           locale.toString(moment.time(), timeFormat.trimmed());
}
