#include "modbus/ModuleConfig.h"

#include "modbus/MODBUS_RTU.h"
#include "modbus/PollCycle.h"
#include "serial/Clock.h"

#include <algorithm>
#include <array>
#include <span>
#include <utility>

namespace {

// Registers 20 (unlock slot) ... 27 (commit slot), read back after the commit.
constexpr int kCfgFirst = Reg::Cfg_Unlock;
constexpr int kCfgWords = Reg::Cfg_Commit - Reg::Cfg_Unlock + 1;
// The module takes the commit in its next pass; a gateway passes the result on a
// little later. Look a few times before calling it lost.
constexpr int kCommitChecks = 5;
constexpr uint32_t kCommitCheckPauseMs = 20;
// Each look waits for its reply as long as the polling cycle waits for one (20
// ticks of 30 ms): a module late enough to miss that is not answering at all,
// and one whose writes were confirmed must not be judged by a shorter wait.
constexpr uint32_t kReadBackPatienceMs = kPollMaxWaitTicks * kPollTickMs;
constexpr int kReadBackWaits = static_cast<int>(kReadBackPatienceMs / kEchoWaitMs);

TRegisterWriter WriterOf(TModbusMaster &master)
{
    return [&master](int32_t reg, uint16_t value) { return master.WriteRegister(reg, value); };
}

TRegisterReader ReadBackOf(TModbusMaster &master)
{
    return [&master](int32_t first, int32_t count, uint16_t *words) {
        return master.ReadRegistersOnce(first, count, words, kReadBackWaits);
    };
}

// How the read-back found the module after the commit.
enum class TReadBack { NotStored, Stored, CommitStanding };

TReadBack ConfigurationStored(std::span<const std::pair<int, int>> written, const TRegisterReader &read,
                              bool commitMayStand)
{
    for (int check = 0; check < kCommitChecks; ++check) {
        if (check > 0)
            SleepMs(kCommitCheckPauseMs);
        uint16_t words[kCfgWords] = {};
        if (!read(kCfgFirst, kCfgWords, words))
            continue;
        const uint16_t commit = words[Reg::Cfg_Commit - kCfgFirst];
        bool asWritten = words[Reg::Cfg_Unlock - kCfgFirst] == 0;
        for (const auto &[reg, value] : written)
            if (reg != Reg::Cfg_Unlock && reg != Reg::Cfg_Commit)
                asWritten = asWritten && words[reg - kCfgFirst] == static_cast<uint16_t>(value);
        if (asWritten && commit == 0)
            return TReadBack::Stored;
        // The unlock slot cleared by the module's commit, the commit code back by a resend.
        if (asWritten && commitMayStand && commit == kCfgCommitCode)
            return TReadBack::CommitStanding;
    }
    return TReadBack::NotStored;
}

// Before the unlock: a slot holding its code from an earlier, broken sequence
// is cleared, commit slot first. False when a clear was not confirmed.
bool ClearStaleCodes(const TConfigRecovery &recovery, const TRegisterWriter &write, TConfigWriteResult &result)
{
    const std::pair<int, bool> slots[] = {{Reg::Cfg_Commit, recovery.commitSlot == kCfgCommitCode},
                                          {Reg::Cfg_Unlock, recovery.unlockSlot == kCfgUnlockCode}};
    for (const auto &[reg, stale] : slots) {
        if (!stale)
            continue;
        if (!write(reg, 0)) {
            result.FailedRegister = reg;
            return false;
        }
        ++result.SlotsCleared;
    }
    return true;
}

}  // namespace

std::string FirmwareVersionText(uint16_t word)
{
    return std::to_string(word / 100) + '.' + std::to_string(word % 100);
}

TModuleSettings DecodeModuleSettings(const uint16_t *mirror)
{
    TModuleSettings s;
    for (const TSettingRow &row : kModuleSettings) {
        const int word = mirror[row.Register];
        if (row.IsList())
            s.*row.Member = row.Holds(word) ? word : TModuleSettings::kNoSelection;
        else
            s.*row.Member = std::clamp(word, row.Min, row.Max);
    }
    return s;
}

TModuleSettings StoredModuleSettings(const uint16_t *mirror)
{
    TModuleSettings s;
    for (const TSettingRow &row : kModuleSettings)
        s.*row.Member = mirror[row.Register];
    return s;
}

std::vector<const TSettingRow *> IncompleteSettings(const TModuleSettings &s)
{
    std::vector<const TSettingRow *> rows;
    for (const TSettingRow &row : kModuleSettings)
        if (!row.Holds(s.*row.Member))
            rows.push_back(&row);
    return rows;
}

bool ModuleSettingsComplete(const TModuleSettings &s)
{
    return IncompleteSettings(s).empty();
}

TConfigWriteResult WriteModuleConfiguration(const TModuleSettings &s, const TRegisterWriter &write,
                                            const TRegisterReader &read, const TConfigRecovery &recovery)
{
    const TRegisterWriter writeOne = write ? write : WriterOf(MainModbusMaster());
    const TRegisterReader readBack = read ? read : ReadBackOf(MainModbusMaster());
    std::array<std::pair<int, int>, kConfigWrites> sequence;
    sequence.front() = {Reg::Cfg_Unlock, kCfgUnlockCode};
    for (size_t i = 0; i < kModuleSettings.size(); ++i)
        sequence[i + 1] = {kModuleSettings[i].Register, s.*kModuleSettings[i].Member};
    sequence.back() = {Reg::Cfg_Commit, kCfgCommitCode};
    TConfigWriteResult result;
    if (recovery.enabled && !ClearStaleCodes(recovery, writeOne, result))
        return result;
    for (const auto &[reg, value] : sequence) {
        if (!writeOne(reg, static_cast<uint16_t>(value))) {
            result.FailedRegister = reg;
            break;
        }
        ++result.Echoed;
    }
    result.SettingsWritten = result.Echoed >= kConfigWrites - 1;
    result.Committed = result.Echoed == kConfigWrites;
    if (!result.SettingsWritten)
        return result;
    const TReadBack found = ConfigurationStored(sequence, readBack, recovery.enabled);
    result.Stored = found != TReadBack::NotStored;
    if (found == TReadBack::CommitStanding) {
        result.CommitCleared = writeOne(Reg::Cfg_Commit, 0);
        result.CommitLeftStanding = !result.CommitCleared;
    }
    return result;
}

TConfigWriteResult WriteModuleConfiguration(TModbusMaster &master, const TModuleSettings &settings,
                                            const TConfigRecovery &recovery)
{
    return WriteModuleConfiguration(settings, WriterOf(master), ReadBackOf(master), recovery);
}
