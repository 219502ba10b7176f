#pragma once
// The settings' list texts as the command line takes and shows them.
#include "modbus/SettingsTable.h"

#include <QString>

namespace talvex::cli {

// Index of `text` in the row's list, or -1. Blanks and ASCII case do not count,
// so "8E1" and "8 e 1" find "8 E 1", and "500k" finds "500K". A level is also
// found by its number ("3" as well as "三级").
int FindSettingText(const TSettingRow &row, const QString &text);

// The list text of `index`, or an empty string outside the table.
QString SettingText(const TSettingRow &row, int index);

// The texts of a list joined for a message: "\"10K\", \"20K\", ...".
QString SettingChoices(const TSettingRow &row);

}  // namespace talvex::cli
