#pragma once
// The module's six settings (registers 21 ... 26) kept over a flash that erases
// the page they are stored in: read over Modbus at the module's line before,
// written back with the configuration sequence after.
#include "app/cli/Options.h"
#include "app/cli/Port.h"
#include "modbus/RegisterMap.h"

#include <QJsonObject>
#include <QString>

#include <array>
#include <cstdint>

namespace talvex::cli {

struct KeptSettings {
    // Registers 0 ... 27 as read, so the stored words and both code slots are at hand.
    std::array<uint16_t, Reg::Cfg_Commit + 1> words{};
    bool read = false;
};

// Reads the block at the module's line (the station, mode and echo of `o`).
// False with the reason when the module does not answer or holds a setting the
// configuration sequence cannot write back.
bool ReadKeptSettings(const Options &o, const PortTarget &port, KeptSettings &kept, QString &why);

// Writes `kept` back (unlock, six settings, commit, read-back) once the
// restarted module answers; `after` gets what it then holds. False with the reason.
bool RestoreKeptSettings(const Options &o, const PortTarget &port, const KeptSettings &kept, KeptSettings &after,
                         QString &why);

// {"21": word, ..., "26": word}.
QJsonObject SettingsWords(const KeptSettings &kept);

}  // namespace talvex::cli
