#pragma once
// The firmware window's status line: its words for what the update reports.
// Kept apart from the window's widgets so that the update's tests read the
// same texts the window shows.
#include "firmware/UpdateReport.h"

#include <QString>

// "Boot:" + high nibble + "." + low nibble, in decimal.
QString BootVersionText(uint8_t version);
// The status line for a notice of the update and the value that goes with it.
QString UpdateStatusText(TUpdateNotice notice, int value);
