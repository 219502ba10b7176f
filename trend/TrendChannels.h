#pragma once
// The channels the trend follows and records: AD0 ... AD7, the values DA0 ... DA3
// and the gains G0 ... G3 of the outputs, each a register of the polled block.
// Per channel an optional engineering unit (a name, a scale and offset, a unit
// such as V or mA), kept in the user's settings; raw counts when none is set.
#include "modbus/RegisterMap.h"

#include <QString>

#include <array>
#include <cstdint>

inline constexpr int kTrendInputs = Reg::AD_Count;
inline constexpr int kTrendOutputs = Reg::DA_Count;
inline constexpr int kTrendChannels = kTrendInputs + 2 * kTrendOutputs;

enum class TChannelKind { Input, OutputValue, OutputGain };

struct TChannelUnit {
    QString Name;  // shown and written in place of the channel's own name; empty keeps it
    double Scale = 1;
    double Offset = 0;
    QString Unit;  // "V", "mA"; empty for raw counts

    bool Raw() const { return Scale == 1 && Offset == 0 && Unit.isEmpty(); }
    double Value(uint16_t counts) const { return counts * Scale + Offset; }
};

using TChannelUnits = std::array<TChannelUnit, kTrendChannels>;
// One polled value per channel, in channel order.
using TChannelValues = std::array<uint16_t, kTrendChannels>;

TChannelKind ChannelKind(int channel);
// The register channel `channel` shows.
int ChannelRegister(int channel);
// "AD0" ... "AD7", "DA0" ... "DA3", "G0" ... "G3".
QString ChannelId(int channel);
// The unit's name if it has one, else the channel's own; with " [unit]" when it has a unit.
QString ChannelTitle(int channel, const TChannelUnit &unit);
// The channels' values from a register block as the poll leaves it in the mirror.
TChannelValues ChannelValues(const uint16_t *mirror);

// The user's settings: organisation and application "talvex", group "trend".
// The window and talvex-cli read the same ones, so their recordings agree.
TChannelUnits LoadChannelUnits();
void SaveChannelUnits(const TChannelUnits &units);
