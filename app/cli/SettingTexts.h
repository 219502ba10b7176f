#pragma once
// The configuration lists' texts as the command line takes and shows them.
#include <QString>

namespace talvex::cli {

// Index of `text` in a list, or -1. Blanks and ASCII case do not count, so
// "8E1" and "8 e 1" find "8 E 1", and "500k" finds "500K".
int FindBaudCan(const QString &text);
int FindBaud485(const QString &text);
int FindDat485(const QString &text);
// A filter level: its number 0 ... 9 or the list's text ("三级").
int FindFilter(const QString &text);

// The list text of `index`, or an empty string outside the table.
QString BaudCanText(int index);
QString Baud485Text(int index);
QString Dat485Text(int index);
QString FilterText(int index);

// The texts of a list joined for a message: "10K, 20K, ...".
QString BaudCanChoices();
QString Baud485Choices();
QString Dat485Choices();

} // namespace talvex::cli
