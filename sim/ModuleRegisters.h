#pragma once
#include "RegisterMap.h"

#include <cstdint>

// The module's register space and the registers it gives a meaning to.
namespace talvex::sim {

inline constexpr int kRegisterCount = 500;  // every address is taken modulo this

inline constexpr int kInputChannels = 8;
inline constexpr uint16_t kRegInputFirst = Reg::AD_Val0;      // filtered AD0 ... AD7
inline constexpr uint16_t kRegOutputValueFirst = Reg::DA_Val0;  // DA0 ... DA3 set values
inline constexpr uint16_t kRegOutputGainFirst = Reg::DA_Gain0;   // DA0 ... DA3 gains
inline constexpr int kOutputChannels = 4;
inline constexpr uint16_t kRegLinkBeat = Reg::Link_Beat;
inline constexpr uint16_t kRegLinkEcho = Reg::Link_Echo;
inline constexpr uint16_t kRegCfgUnlock = Reg::Cfg_Unlock;
inline constexpr uint16_t kRegCfgStation = Reg::Cfg_Station;
inline constexpr uint16_t kRegCfgBaudCan = Reg::Cfg_BaudCAN;
inline constexpr uint16_t kRegCfgBaud485 = Reg::Cfg_Baud485;
inline constexpr uint16_t kRegCfgTxSuppress = Reg::Cfg_TxSuppress;
inline constexpr uint16_t kRegCfgFilter = Reg::Cfg_Filter;
inline constexpr uint16_t kRegCfgDat485 = Reg::Cfg_Dat485;
inline constexpr uint16_t kRegCfgCommit = Reg::Cfg_Commit;
inline constexpr uint16_t kRegFwVersion = Reg::FW_Version;
inline constexpr uint16_t kRegCanUnlocked = Reg::CAN_Unlocked;
inline constexpr uint16_t kRegRawInputFirst = 110;  // unfiltered AD0 ... AD7
inline constexpr uint16_t kRegRepliesFixedPort = 300;
inline constexpr uint16_t kRegRepliesRs485Port = 301;

// The six settings stored by a commit, registers 21 ... 26.
inline constexpr uint16_t kRegSettingsFirst = kRegCfgStation;
inline constexpr int kSettingsCount = 6;

// The access codes (kCfgUnlockCode, kCanUnlockWord0, ...) are the tool's, from RegisterMap.h.
inline constexpr uint16_t kCanUnlockedMark = kCanUnlockedMarker;

inline constexpr uint16_t kDefaultFirmwareVersion = 150;
// Version of the image the tool carries: a module it was written to reports this.
inline constexpr uint16_t kImageFirmwareVersion = 150;
inline constexpr uint16_t kPowerUpGain = 100;

// Table lengths the settings are reduced by when the module starts.
inline constexpr uint16_t kStationModulus = 100;
inline constexpr uint16_t kBaudCanTableSize = 8;
inline constexpr uint16_t kBaud485TableSize = 4;
inline constexpr uint16_t kDat485TableSize = 3;
inline constexpr uint16_t kFilterLevels = 10;
inline constexpr uint32_t kBaud485Table[kBaud485TableSize] = {9600, 19200, 38400, 57600};

// What a module without stored settings uses, registers 21 ... 26.
inline constexpr uint16_t kModuleDefaults[kSettingsCount] = {
    ModuleDefault::Station, ModuleDefault::BaudCAN, ModuleDefault::Baud485,
    ModuleDefault::TxSuppress, ModuleDefault::Filter, ModuleDefault::Dat485};

inline constexpr int kAdcBits = 12;
inline constexpr uint16_t kAdcMax = (1 << kAdcBits) - 1;

// Output n runs value x gain / 25 steps of a 40000-step PWM.
inline constexpr uint32_t kPwmSteps = 40000;
inline constexpr uint32_t kPwmDivisor = 25;

// The fixed port's line speed and station.
inline constexpr uint32_t kFixedPortBaud = 57600;
inline constexpr uint8_t kFixedPortStation = 1;

} // namespace talvex::sim
