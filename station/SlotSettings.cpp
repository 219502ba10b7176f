#include "station/SlotSettings.h"

#include "modbus/MODBUS_RTU.h"
#include "modbus/ModuleConfig.h"
#include "station/BoardProbe.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <array>

namespace {

// Registers 0 ... 31 of the module, waiting for the reply as the sequence's reads do.
bool ReadBlock(TModbusMaster &master, TProbeWords &words)
{
    return master.ReadRegistersOnce(kProbeFirstRegister, kProbeRegisterCount, words.data());
}

// What the module holds, with the recipe's settings in their place.
TModuleSettings SettingsWithChanges(const uint16_t *words, const TSettingChanges &changes)
{
    TModuleSettings s = StoredModuleSettings(words);
    for (size_t i = 0; i < kModuleSettings.size(); ++i)
        if (changes.values[i])
            s.*kModuleSettings[i].Member = *changes.values[i];
    return s;
}

QString Compact(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

}  // namespace

TSlotSettingsResult WriteAndReadBackSettings(TModbusMaster &master, const TSettingChanges &changes,
                                             const TProbeWords &held, const std::function<void()> &readingBack)
{
    TSlotSettingsResult r;
    TProbeWords words = held;
    QJsonObject written;
    const TModuleSettings settings = SettingsWithChanges(words.data(), changes);
    bool any = false;
    for (size_t i = 0; i < kModuleSettings.size(); ++i) {
        if (!changes.values[i])
            continue;
        any = true;
        written[QString::fromLatin1(kModuleSettings[i].Name)] = *changes.values[i];
    }
    r.written = Compact(written);
    if (any) {
        const std::vector<const TSettingRow *> odd = IncompleteSettings(settings);
        if (!odd.empty()) {
            r.why = QStringLiteral("register %1 holds %2, which the recipe does not set and the configuration "
                                   "sequence cannot write back")
                        .arg(odd.front()->Register)
                        .arg(words[size_t(odd.front()->Register)]);
            return r;
        }
        const TConfigWriteResult result = WriteModuleConfiguration(
            master, settings, TConfigRecovery{true, words[Reg::Cfg_Unlock], words[Reg::Cfg_Commit]});
        if (!result.Stored) {
            r.why = !result.SettingsWritten
                        ? QStringLiteral("register %1 not echoed (%2 of %3 writes confirmed); nothing was stored")
                              .arg(result.FailedRegister)
                              .arg(result.Echoed)
                              .arg(kConfigWrites)
                    : !result.Committed
                        ? QStringLiteral("the commit code was not echoed; the settings may not be stored")
                        : QStringLiteral("every write was echoed, but the module did not store the "
                                         "settings");
            return r;
        }
    }
    if (readingBack)
        readingBack();
    r.failedInReadBack = true;
    if (!ReadBlock(master, words)) {
        r.why = QStringLiteral("the module does not answer the read-back");
        return r;
    }
    QJsonObject back;
    for (const TSettingRow &row : kModuleSettings)
        back[QString::fromLatin1(row.Name)] = words[size_t(row.Register)];
    back[QStringLiteral("firmware")] = QString::fromStdString(FirmwareVersionText(words[Reg::FW_Version]));
    r.readBack = Compact(back);
    for (size_t i = 0; i < kModuleSettings.size(); ++i) {
        const TSettingRow &row = kModuleSettings[i];
        if (changes.values[i] && words[size_t(row.Register)] != *changes.values[i]) {
            r.why = QStringLiteral("%1 (register %2) reads back %3, %4 was written")
                        .arg(QString::fromLatin1(row.Name))
                        .arg(row.Register)
                        .arg(words[size_t(row.Register)])
                        .arg(*changes.values[i]);
            return r;
        }
    }
    r.ok = true;
    r.failedInReadBack = false;
    return r;
}
