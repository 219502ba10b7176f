#include "ModuleConfig.h"

#include "MODBUS_RTU.h"

#include <algorithm>
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

TConfigWriteResult WriteModuleConfiguration(const TModuleSettings &s, const TRegisterWriter &write)
{
    const TRegisterWriter writeOne = write ? write : TRegisterWriter(WriteRegister);
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
    return result;
}
