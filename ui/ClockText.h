// What the status strip's clock shows for a moment, in a given locale.
#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

// The short date, two spaces, and the long time without its zone name.
QString ClockText(const QDateTime &moment, const QLocale &locale);
