#pragma once
// The module's six settings: read back from the mirror, and written in the framed
// sequence (unlock code, the settings, commit code) that makes the module store them.
#include "modbus/RegisterMap.h"
#include "modbus/SettingsTable.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TModbusMaster;

// Polling stops this long before a write from the configuration or the write
// dialog, so that no read reply is still on its way into the echo.
inline constexpr uint32_t kPauseBeforeWriteMs = 50;

// The version word (register 28) as "major.minor": quotient and remainder by
// 100, no leading zeros (150 is "1.50", 105 is "1.5", 7 is "0.7").
std::string FirmwareVersionText(uint16_t word);

// Registers 21 ... 26 from `mirror` (indexed by register number) as the
// controls take them: the station and the suppression time clamped to their
// ranges (a module reporting 0 reads as 1), a list value outside its table as
// kNoSelection.
TModuleSettings DecodeModuleSettings(const uint16_t *mirror);

// Registers 21 ... 26 from `mirror` as the module holds them, nothing clamped,
// so that IncompleteSettings() names what the module holds out of range.
TModuleSettings StoredModuleSettings(const uint16_t *mirror);

// The rows of kModuleSettings whose value in `settings` the module does not
// take (a list without a selection, a number out of range), in table order.
std::vector<const TSettingRow *> IncompleteSettings(const TModuleSettings &settings);

// True when every list setting has a selection and the numbers are in range,
// so the write sends nothing the module cannot take.
bool ModuleSettingsComplete(const TModuleSettings &settings);

// Writes of the sequence, unlock and commit included.
inline constexpr int kConfigWrites = kModuleSettingCount + 2;

struct TConfigWriteResult {
    int Echoed = 0;                // writes confirmed, in order (0 ... 8)
    int FailedRegister = -1;       // the register whose write failed, or -1
    bool SettingsWritten = false;  // unlock and all six settings confirmed
    bool Committed = false;        // the commit code confirmed too
    // Read back after the commit: both code slots cleared and the settings as
    // written. An echo alone does not prove it: a module that restarted inside the
    // sequence echoes the later writes but has lost the unlock and stores nothing.
    bool Stored = false;
    // With recovery: code slots cleared before the unlock, and whether a commit
    // code left standing after the commit was cleared (or could not be).
    int SlotsCleared = 0;
    bool CommitCleared = false;
    bool CommitLeftStanding = false;
};

// What the command line's sequence adds so that a lost reply cannot leave the
// module stuck. A reply lost to the commit makes the resend put the commit code
// back after the module has stored and cleared both slots; alone in its slot, it
// would meet the next sequence's unlock and store the old settings there.
// So: before the unlock, a slot found holding its code is cleared (`unlockSlot`
// and `commitSlot`, registers 20 and 27 as read before the sequence); after the
// commit, the settings read back as written with register 20 at 0 count as
// stored, and a commit code still standing is cleared.
struct TConfigRecovery {
    bool enabled = false;
    uint16_t unlockSlot = 0;
    uint16_t commitSlot = 0;
};

// One register write with its echo check and attempts; WriteRegister by default.
using TRegisterWriter = std::function<bool(int32_t reg, uint16_t value)>;
// One read of `count` registers from `first` into `words`; by default ReadRegistersOnce,
// waiting for the reply as long as the polling cycle does.
using TRegisterReader = std::function<bool(int32_t first, int32_t count, uint16_t *words)>;

// Registers 20 ... 27 in ascending order: 7196, the settings in the order of
// kModuleSettings, 54484. The first failed write before the commit ends the
// sequence (nothing is stored); the commit is written whenever the settings
// were, and then read back.
TConfigWriteResult WriteModuleConfiguration(const TModuleSettings &settings, const TRegisterWriter &write = {},
                                            const TRegisterReader &read = {}, const TConfigRecovery &recovery = {});
// The same sequence through `master`: its WriteRegister, and its ReadRegistersOnce
// for the read-back.
TConfigWriteResult WriteModuleConfiguration(TModbusMaster &master, const TModuleSettings &settings,
                                            const TConfigRecovery &recovery = {});
