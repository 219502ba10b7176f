#pragma once
// The settings' values as the command line and a station's recipe take and show
// them: one rule for each kind of row, so that `configure --filter 3` and a
// recipe's "filter": 3 are judged alike.
#include "modbus/SettingsTable.h"

#include <QString>

#include <optional>

// Index of `text` in the row's list, or -1. Blanks and ASCII case do not count,
// so "8E1" and "8 e 1" find "8 E 1", and "500k" finds "500K". A level is also
// found by its number ("3" as well as "三级").
int FindSettingText(const TSettingRow &row, const QString &text);

// The list text of `index`, or an empty string outside the table.
QString SettingText(const TSettingRow &row, int index);

// A value as the listings and the records show it: "10 ms", "500K", "3 (三级)".
// The value must be within the row's range or list.
QString SettingValueText(const TSettingRow &row, int value);

// The texts of a list joined for a message: "\"10K\", \"20K\", ...".
QString SettingChoices(const TSettingRow &row);

// Decimal, or hexadecimal after "0x"; no blanks. Empty when `text` is no number.
std::optional<long long> ParseNumberText(const QString &text);

// `text` as the value the row's member holds (a number within its range, or an
// index into its list). False with the reason, which starts with `name`
// ("--filter: \"9\" is not a filter level (0 ... 7)").
bool ParseSettingValue(const TSettingRow &row, const QString &name, const QString &text, int &value, QString &why);
