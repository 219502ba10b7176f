#pragma once
// The trend's engineering units, one row per channel: a name, a scale and an
// offset (value = counts x scale + offset) and a unit such as V or mA.
#include "trend/TrendChannels.h"

class QWidget;

// Modal; true when the user pressed OK, `units` then holds what was entered.
bool EditChannelUnits(QWidget *owner, TChannelUnits &units);
