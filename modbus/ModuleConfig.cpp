#include "ModuleConfig.h"

#include "Clock.h"
#include "MODBUS_RTU.h"
#include "PollCycle.h"

#include <algorithm>
#include <span>
#include <utility>

namespace {

int ListIndex(uint16_t word, size_t tableSize)
{
    return word < tableSize ? static_cast<int>(word) : TModuleSettings::kNoSelection;
}

bool InTable(int index, size_t tableSize)
{
    return index >= 0 && static_cast<size_t>(index) < tableSize;
}

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

bool ReadBackOnce(int32_t first, int32_t count, uint16_t *words)
{
    return ReadRegistersOnce(first, count, words, kReadBackWaits);
}

bool ConfigurationStored(std::span<const std::pair<int, int>> written, const TRegisterReader &read)
{
    for (int check = 0; check < kCommitChecks; ++check) {
        if (check > 0)
            SleepMs(kCommitCheckPauseMs);
        uint16_t words[kCfgWords] = {};
        if (!read(kCfgFirst, kCfgWords, words))
            continue;
        bool asWritten = words[Reg::Cfg_Unlock - kCfgFirst] == 0 && words[Reg::Cfg_Commit - kCfgFirst] == 0;
        for (const auto &[reg, value] : written)
            if (reg != Reg::Cfg_Unlock && reg != Reg::Cfg_Commit)
                asWritten = asWritten && words[reg - kCfgFirst] == static_cast<uint16_t>(value);
        if (asWritten)
            return true;
    }
    return false;
}

} // namespace

std::string FirmwareVersionText(uint16_t word)
{
    return std::to_string(word / 100) + '.' + std::to_string(word % 100);
}

TModuleSettings DecodeModuleSettings(const uint16_t *mirror)
{
    TModuleSettings s;
    s.Station = std::clamp<int>(mirror[Reg::Cfg_Station], kStationMin, kStationMax);
    s.BaudCAN = ListIndex(mirror[Reg::Cfg_BaudCAN], kBaudCanTexts.size());
    s.Baud485 = ListIndex(mirror[Reg::Cfg_Baud485], kBaud485Texts.size());
    s.TxSuppress = std::clamp<int>(mirror[Reg::Cfg_TxSuppress], kTxSuppressMin, kTxSuppressMax);
    s.Filter = ListIndex(mirror[Reg::Cfg_Filter], kFilterTexts.size());
    s.Dat485 = ListIndex(mirror[Reg::Cfg_Dat485], kDat485Texts.size());
    return s;
}

bool ModuleSettingsComplete(const TModuleSettings &s)
{
    return s.Station >= kStationMin && s.Station <= kStationMax && InTable(s.BaudCAN, kBaudCanTexts.size()) &&
           InTable(s.Baud485, kBaud485Texts.size()) && s.TxSuppress >= kTxSuppressMin &&
           s.TxSuppress <= kTxSuppressMax && InTable(s.Filter, kFilterTexts.size()) &&
           InTable(s.Dat485, kDat485Texts.size());
}

TConfigWriteResult WriteModuleConfiguration(const TModuleSettings &s, const TRegisterWriter &write,
                                            const TRegisterReader &read)
{
    const TRegisterWriter writeOne = write ? write : TRegisterWriter(WriteRegister);
    const TRegisterReader readBack = read ? read : TRegisterReader(ReadBackOnce);
    const std::pair<int, int> sequence[kConfigWrites] = {
        {Reg::Cfg_Unlock, kCfgUnlockCode},
        {Reg::Cfg_Station, s.Station},
        {Reg::Cfg_BaudCAN, s.BaudCAN},
        {Reg::Cfg_Baud485, s.Baud485},
        {Reg::Cfg_TxSuppress, s.TxSuppress},
        {Reg::Cfg_Filter, s.Filter},
        {Reg::Cfg_Dat485, s.Dat485},
        {Reg::Cfg_Commit, kCfgCommitCode},
    };
    TConfigWriteResult result;
    for (const auto &[reg, value] : sequence) {
        if (!writeOne(reg, static_cast<uint16_t>(value))) {
            result.FailedRegister = reg;
            break;
        }
        ++result.Echoed;
    }
    result.SettingsWritten = result.Echoed >= kConfigWrites - 1;
    result.Committed = result.Echoed == kConfigWrites;
    if (result.SettingsWritten)
        result.Stored = ConfigurationStored(sequence, readBack);
    return result;
}
