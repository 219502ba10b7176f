#pragma once
#include "modbus/RegisterMap.h"

#include <cstdint>
#include <iterator>

// The module's register space and the registers only the module gives a meaning
// to. The registers the tool knows are named once, in RegisterMap.h (Reg::...),
// with the access codes and the code tables.
namespace talvex::sim {

inline constexpr int kRegisterCount = 500;  // every address is taken modulo this

inline constexpr uint16_t kRegRawInputFirst = 110;  // unfiltered AD0 ... AD7
inline constexpr uint16_t kRegRepliesFixedPort = 300;
inline constexpr uint16_t kRegRepliesRs485Port = 301;

// The six settings stored by a commit, registers 21 ... 26.
inline constexpr uint16_t kRegSettingsFirst = Reg::Cfg_Station;
inline constexpr int kSettingsCount = 6;
static_assert(kRegSettingsFirst + kSettingsCount - 1 == Reg::Cfg_Dat485);

inline constexpr uint16_t kDefaultFirmwareVersion = 150;
// Version of the image the tool carries: a module it was written to reports this.
inline constexpr uint16_t kImageFirmwareVersion = 150;
inline constexpr uint16_t kPowerUpGain = 100;

// Station numbers are reduced modulo this when the module starts; the list
// settings modulo the length of their code table.
inline constexpr uint16_t kStationModulus = 100;
// Line speed of each RS-485 baud-rate index (kBaud485Texts).
inline constexpr uint32_t kBaud485Table[] = {9600, 19200, 38400, 57600};
static_assert(std::size(kBaud485Table) == kBaud485Texts.size());

// What a module without stored settings uses, registers 21 ... 26.
inline constexpr uint16_t kModuleDefaults[kSettingsCount] = {ModuleDefault::Station, ModuleDefault::BaudCAN,
                                                             ModuleDefault::Baud485, ModuleDefault::TxSuppress,
                                                             ModuleDefault::Filter,  ModuleDefault::Dat485};

inline constexpr int kAdcBits = 12;
inline constexpr uint16_t kAdcMax = (1 << kAdcBits) - 1;

// Output n runs value x gain / 25 steps of a 40000-step PWM.
inline constexpr uint32_t kPwmSteps = 40000;
inline constexpr uint32_t kPwmDivisor = 25;

// The fixed port's line speed and station.
inline constexpr uint32_t kFixedPortBaud = 57600;
inline constexpr uint8_t kFixedPortStation = 1;

}  // namespace talvex::sim
