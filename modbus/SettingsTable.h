#pragma once
// The module's settings, registers 21 ... 26, one row each: where the module
// keeps it, what it may hold, what the command line calls it and which member of
// TModuleSettings carries it. Decoding, the completeness check, the write
// sequence and the command line's options, checks and listing all walk this
// table, so a further setting is one more row here.
#include "modbus/RegisterMap.h"

#include <array>
#include <optional>
#include <span>

// What the settings registers hold, as the configuration controls take them:
// numbers within their range, list settings as an index into their table.
struct TModuleSettings {
    static constexpr int kNoSelection = -1;  // a register value outside its table

    int Station = ModuleDefault::Station;        // 1 ... 99
    int BaudCAN = ModuleDefault::BaudCAN;        // index into kBaudCanTexts
    int Baud485 = ModuleDefault::Baud485;        // index into kBaud485Texts
    int TxSuppress = ModuleDefault::TxSuppress;  // 1 ... 9999 ms
    int Filter = ModuleDefault::Filter;          // index into kFilterTexts
    int Dat485 = ModuleDefault::Dat485;          // index into kDat485Texts
};

enum class TSettingKind {
    Number,  // a number within Min ... Max
    List,    // an index into Texts, named by its text
    Level,   // an index into Texts, named by its text or by the index itself ("3" or "三级")
};

struct TSettingRow {
    int Register;
    const char *Name;  // the command line's option (--Name) and its name in the listing
    TSettingKind Kind;
    int Min = 0;  // a number's range; a list's is its table
    int Max = 0;
    std::span<const char *const> Texts = {};
    const char *Unit = nullptr;  // written after a number ("ms"), or none
    int TModuleSettings::*Member = nullptr;
    int ListedAt = 0;  // place in the command line's listing of the settings

    constexpr bool IsList() const { return Kind != TSettingKind::Number; }
    constexpr int Lowest() const { return IsList() ? 0 : Min; }
    constexpr int Highest() const { return IsList() ? static_cast<int>(Texts.size()) - 1 : Max; }
    // True when `value` is one the module takes for this setting.
    constexpr bool Holds(long long value) const { return value >= Lowest() && value <= Highest(); }
};

// In register order, which is also the order of the writes between unlock and commit.
inline constexpr std::array<TSettingRow, 6> kModuleSettings = {{
    {.Register = Reg::Cfg_Station,
     .Name = "station",
     .Kind = TSettingKind::Number,
     .Min = kStationMin,
     .Max = kStationMax,
     .Member = &TModuleSettings::Station,
     .ListedAt = 0},
    {.Register = Reg::Cfg_BaudCAN,
     .Name = "can-baud",
     .Kind = TSettingKind::List,
     .Texts = kBaudCanTexts,
     .Member = &TModuleSettings::BaudCAN,
     .ListedAt = 1},
    {.Register = Reg::Cfg_Baud485,
     .Name = "rs485-baud",
     .Kind = TSettingKind::List,
     .Texts = kBaud485Texts,
     .Member = &TModuleSettings::Baud485,
     .ListedAt = 2},
    {.Register = Reg::Cfg_TxSuppress,
     .Name = "suppress",
     .Kind = TSettingKind::Number,
     .Min = kTxSuppressMin,
     .Max = kTxSuppressMax,
     .Unit = "ms",
     .Member = &TModuleSettings::TxSuppress,
     .ListedAt = 5},
    {.Register = Reg::Cfg_Filter,
     .Name = "filter",
     .Kind = TSettingKind::Level,
     .Texts = kFilterTexts,
     .Member = &TModuleSettings::Filter,
     .ListedAt = 4},
    {.Register = Reg::Cfg_Dat485,
     .Name = "rs485-format",
     .Kind = TSettingKind::List,
     .Texts = kDat485Texts,
     .Member = &TModuleSettings::Dat485,
     .ListedAt = 3},
}};
inline constexpr int kModuleSettingCount = static_cast<int>(kModuleSettings.size());

// Settings to be written, indexed like kModuleSettings (the value as
// TModuleSettings holds it); the others keep what the module holds.
struct TSettingChanges {
    std::array<std::optional<int>, kModuleSettingCount> values;
};

// The settings fill the registers between the unlock and the commit slot, one
// each, in order; the listing places are each used once.
inline constexpr bool SettingsTableIsWellFormed()
{
    std::array<bool, kModuleSettings.size()> listed{};
    for (size_t i = 0; i < kModuleSettings.size(); ++i) {
        const TSettingRow &row = kModuleSettings[i];
        if (row.Register != Reg::Cfg_Unlock + 1 + static_cast<int>(i) || row.Member == nullptr || row.ListedAt < 0 ||
            row.ListedAt >= kModuleSettingCount || listed[static_cast<size_t>(row.ListedAt)] ||
            row.Lowest() > row.Highest())
            return false;
        listed[static_cast<size_t>(row.ListedAt)] = true;
    }
    return kModuleSettings.back().Register + 1 == Reg::Cfg_Commit;
}
static_assert(SettingsTableIsWellFormed());
