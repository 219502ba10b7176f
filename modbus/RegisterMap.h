#pragma once
// The module's holding registers as the tool sees them: numbers, code tables,
// the module's defaults and access codes. Register numbers index the mirror;
// WireAddress() in Frames.h turns them into bus addresses.
#include <array>
#include <cstdint>

namespace Reg {
inline constexpr int AD_Val0 = 0;  // AD0 ... AD7 acquired values, 12 bit, filtered
inline constexpr int AD_Count = 8;
inline constexpr int DA_Val0 = 10;   // DA0 ... DA3 set values (0 ... 10000 spans the output at gain 100)
inline constexpr int DA_Gain0 = 14;  // DA0 ... DA3 gains, 100 nominal
inline constexpr int DA_Count = 4;
inline constexpr int Link_Beat = 18;       // heartbeat the PLC gateway writes
inline constexpr int Link_Echo = 19;       // module's answer, Link_Beat + 1
inline constexpr int Cfg_Unlock = 20;      // configuration unlock slot; 0 after a commit
inline constexpr int Cfg_Station = 21;     // station number 1 ... 99
inline constexpr int Cfg_BaudCAN = 22;     // CAN bit-rate index
inline constexpr int Cfg_Baud485 = 23;     // RS-485 baud-rate index
inline constexpr int Cfg_TxSuppress = 24;  // least interval between CAN messages, ms
inline constexpr int Cfg_Filter = 25;      // input filter level 0 ... 9
inline constexpr int Cfg_Dat485 = 26;      // RS-485 character format index
inline constexpr int Cfg_Commit = 27;      // configuration commit slot; 0 after a commit
inline constexpr int FW_Version = 28;      // firmware version in hundredths
inline constexpr int CAN_Unlocked = 29;    // 6666 once the PLC-CAN unlock pair was accepted
}  // namespace Reg

// The one block the tool polls: registers 0 ... 31.
inline constexpr int kPollFirstRegister = 0;
inline constexpr int kPollRegisterCount = 32;

// Access codes. Both configuration codes have equal high and low bytes; the
// second word of the PLC-CAN pair is the complement of the first.
inline constexpr uint16_t kCfgUnlockCode = 7196;
inline constexpr uint16_t kCfgCommitCode = 54484;
inline constexpr uint16_t kCanUnlockWord0 = 15420;
inline constexpr uint16_t kCanUnlockWord1 = 50115;
inline constexpr uint16_t kCanUnlockedMarker = 6666;
static_assert((kCfgUnlockCode >> 8) == (kCfgUnlockCode & 0xFF));
static_assert((kCfgCommitCode >> 8) == (kCfgCommitCode & 0xFF));
static_assert(static_cast<uint16_t>(~kCanUnlockWord0) == kCanUnlockWord1);

// Code tables: index = register value = list item index.
inline constexpr std::array<const char *, 8> kBaudCanTexts = {"10K",  "20K",  "50K",  "100K",
                                                              "125K", "250K", "500K", "1000K"};
inline constexpr std::array<const char *, 4> kBaud485Texts = {"9600", "19200", "38400", "57600"};
// The filter levels are words: marked for the windows' English catalogue, which
// lupdate fills from these marks (context kModuleTextsContext). The definition is
// Qt's own, so this header needs no Qt.
inline constexpr char kModuleTextsContext[] = "ModuleTexts";
#ifndef QT_TRANSLATE_NOOP
#define QT_TRANSLATE_NOOP(scope, x) x
#endif
inline constexpr std::array<const char *, 10> kFilterTexts = {
    QT_TRANSLATE_NOOP("ModuleTexts", "零级"), QT_TRANSLATE_NOOP("ModuleTexts", "一级"),
    QT_TRANSLATE_NOOP("ModuleTexts", "二级"), QT_TRANSLATE_NOOP("ModuleTexts", "三级"),
    QT_TRANSLATE_NOOP("ModuleTexts", "四级"), QT_TRANSLATE_NOOP("ModuleTexts", "五级"),
    QT_TRANSLATE_NOOP("ModuleTexts", "六级"), QT_TRANSLATE_NOOP("ModuleTexts", "七级"),
    QT_TRANSLATE_NOOP("ModuleTexts", "八级"), QT_TRANSLATE_NOOP("ModuleTexts", "九级")};
inline constexpr std::array<const char *, 3> kDat485Texts = {"8 N 1", "8 O 1", "8 E 1"};

// Numeric settings.
inline constexpr int kStationMin = 1;
inline constexpr int kStationMax = 99;
inline constexpr int kTxSuppressMin = 1;
inline constexpr int kTxSuppressMax = 9999;

// What a module without stored settings uses.
namespace ModuleDefault {
inline constexpr int Station = 1;
inline constexpr int BaudCAN = 6;
inline constexpr int Baud485 = 3;  // "57600"
inline constexpr int TxSuppress = 100;
inline constexpr int Filter = 3;  // "三级"
inline constexpr int Dat485 = 2;
}  // namespace ModuleDefault
