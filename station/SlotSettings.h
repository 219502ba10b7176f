#pragma once
// A slot's configuration step: the recipe's settings written to the module on
// its fixed port with the configuration sequence the command line and the
// window use (unlock, the six settings, commit, read-back), then the block read
// back for the record. Blocking, as the sequence is everywhere: it waits for
// each echo on the calling thread, a few hundred milliseconds in all.
#include "modbus/ModbusMaster.h"
#include "modbus/SettingsTable.h"
#include "station/BoardProbe.h"

#include <QString>

#include <functional>

struct TSlotSettingsResult {
    bool ok = false;
    bool failedInReadBack = false;  // the writes went through; what was read back is wrong or missing
    QString why;                    // when not ok
    QString written;                // JSON: the settings written, by name; "{}" when the recipe sets none
    QString readBack;               // JSON: the six settings and the firmware version as read back
};

// `master`: linked to the module's fixed line (57600 8E1), station 1. `held`: the
// registers as the probe that found the module answering read them just before
// (a read of its own would only repeat it, while every other slot waits on this
// thread). `readingBack` is called when the writes are done and the read-back starts.
TSlotSettingsResult WriteAndReadBackSettings(TModbusMaster &master, const TSettingChanges &changes,
                                             const TProbeWords &held, const std::function<void()> &readingBack);
