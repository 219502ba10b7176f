#include "trend/TrendChannels.h"

#include <QSettings>

namespace {

const char *const kOrganisation = "talvex";
const char *const kApplication = "talvex";
const char *const kGroup = "trend";

}  // namespace

TChannelKind ChannelKind(int channel)
{
    if (channel < kTrendInputs)
        return TChannelKind::Input;
    return channel < kTrendInputs + kTrendOutputs ? TChannelKind::OutputValue : TChannelKind::OutputGain;
}

int ChannelRegister(int channel)
{
    switch (ChannelKind(channel)) {
    case TChannelKind::Input:
        return Reg::AD_Val0 + channel;
    case TChannelKind::OutputValue:
        return Reg::DA_Val0 + channel - kTrendInputs;
    case TChannelKind::OutputGain:
        break;
    }
    return Reg::DA_Gain0 + channel - kTrendInputs - kTrendOutputs;
}

QString ChannelId(int channel)
{
    switch (ChannelKind(channel)) {
    case TChannelKind::Input:
        return QStringLiteral("AD%1").arg(channel);
    case TChannelKind::OutputValue:
        return QStringLiteral("DA%1").arg(channel - kTrendInputs);
    case TChannelKind::OutputGain:
        break;
    }
    return QStringLiteral("G%1").arg(channel - kTrendInputs - kTrendOutputs);
}

QString ChannelTitle(int channel, const TChannelUnit &unit)
{
    const QString name = unit.Name.isEmpty() ? ChannelId(channel) : unit.Name;
    return unit.Unit.isEmpty() ? name : QStringLiteral("%1 [%2]").arg(name, unit.Unit);
}

TChannelValues ChannelValues(const uint16_t *mirror)
{
    TChannelValues v{};
    for (int c = 0; c < kTrendChannels; ++c)
        v[c] = mirror[ChannelRegister(c)];
    return v;
}

TChannelUnits LoadChannelUnits()
{
    TChannelUnits units;
    QSettings s(QString::fromLatin1(kOrganisation), QString::fromLatin1(kApplication));
    s.beginGroup(QString::fromLatin1(kGroup));
    for (int c = 0; c < kTrendChannels; ++c) {
        s.beginGroup(ChannelId(c));
        TChannelUnit &u = units[c];
        u.Name = s.value("name").toString();
        bool ok = false;
        if (const double v = s.value("scale", 1.0).toDouble(&ok); ok)
            u.Scale = v;
        if (const double v = s.value("offset", 0.0).toDouble(&ok); ok)
            u.Offset = v;
        u.Unit = s.value("unit").toString();
        s.endGroup();
    }
    return units;
}

void SaveChannelUnits(const TChannelUnits &units)
{
    QSettings s(QString::fromLatin1(kOrganisation), QString::fromLatin1(kApplication));
    s.beginGroup(QString::fromLatin1(kGroup));
    for (int c = 0; c < kTrendChannels; ++c) {
        s.beginGroup(ChannelId(c));
        const TChannelUnit &u = units[c];
        s.setValue("name", u.Name);
        s.setValue("scale", u.Scale);
        s.setValue("offset", u.Offset);
        s.setValue("unit", u.Unit);
        s.endGroup();
    }
}
