#pragma once
#include <cstdint>

// The module's register space and the registers it gives a meaning to.
namespace talvex::sim {

inline constexpr int kRegisterCount = 500;  // every address is taken modulo this

inline constexpr int kInputChannels = 8;
inline constexpr uint16_t kRegInputFirst = 0;      // filtered AD0 ... AD7
inline constexpr uint16_t kRegOutputValueFirst = 10;  // DA0 ... DA3 set values
inline constexpr uint16_t kRegOutputGainFirst = 14;   // DA0 ... DA3 gains
inline constexpr int kOutputChannels = 4;
inline constexpr uint16_t kRegLinkBeat = 18;
inline constexpr uint16_t kRegLinkEcho = 19;
inline constexpr uint16_t kRegCfgUnlock = 20;
inline constexpr uint16_t kRegCfgStation = 21;
inline constexpr uint16_t kRegCfgBaudCan = 22;
inline constexpr uint16_t kRegCfgBaud485 = 23;
inline constexpr uint16_t kRegCfgTxSuppress = 24;
inline constexpr uint16_t kRegCfgFilter = 25;
inline constexpr uint16_t kRegCfgDat485 = 26;
inline constexpr uint16_t kRegCfgCommit = 27;
inline constexpr uint16_t kRegFwVersion = 28;
inline constexpr uint16_t kRegCanUnlocked = 29;
inline constexpr uint16_t kRegRawInputFirst = 110;  // unfiltered AD0 ... AD7
inline constexpr uint16_t kRegRepliesFixedPort = 300;
inline constexpr uint16_t kRegRepliesRs485Port = 301;

// The six settings stored by a commit, registers 21 ... 26.
inline constexpr uint16_t kRegSettingsFirst = kRegCfgStation;
inline constexpr int kSettingsCount = 6;

inline constexpr uint16_t kCfgUnlockCode = 7196;
inline constexpr uint16_t kCfgCommitCode = 54484;
inline constexpr uint16_t kCanUnlockWord0 = 15420;
inline constexpr uint16_t kCanUnlockWord1 = 50115;
inline constexpr uint16_t kCanUnlockedMark = 6666;

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
inline constexpr uint16_t kModuleDefaults[kSettingsCount] = {1, 6, 3, 100, 3, 2};

inline constexpr int kAdcBits = 12;
inline constexpr uint16_t kAdcMax = (1 << kAdcBits) - 1;

// Output n runs value x gain / 25 steps of a 40000-step PWM.
inline constexpr uint32_t kPwmSteps = 40000;
inline constexpr uint32_t kPwmDivisor = 25;

// The fixed port's line speed and station.
inline constexpr uint32_t kFixedPortBaud = 57600;
inline constexpr uint8_t kFixedPortStation = 1;

} // namespace talvex::sim
