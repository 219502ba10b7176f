#pragma once
// The station window's words for what its engine reports: a slot's state, its
// stage and why it failed, a record as the list shows it, the counts. Kept apart
// from the widgets so that the texts a tile shows can be read without a window.
#include "station/RunRecord.h"
#include "station/Station.h"  // the slot status, wherever the engine keeps it

#include <QString>
#include <QStringList>

// "等待板卡", "进行中", "通过", "失败", ...
QString SlotStateWord(TSlotState state);
// "识别", "烧写", "配置", ...
QString SlotStageWord(TSlotStage stage);
// The lines of slot `slot`'s tile: the slot and its port, the state word with
// the stage (and percent, while flashing), then the board's label and unique ID
// or why it failed or waits.
QStringList SlotTileLines(int slot, const QString &port, const TSlotStatus &status);
// One line of the last records: time, slot, label, unique ID, result and cause.
QString RecordLine(const TRunRecord &record);
// "直通率 97.5 %，每小时 120 块"; a dash where there is nothing yet (a negative value).
QString YieldText(double firstPassYield, double boardsPerHour);
