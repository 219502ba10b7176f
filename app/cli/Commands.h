#pragma once
// One function per command; each returns the exit status.
#include "app/cli/Options.h"
#include "app/cli/Output.h"
#include "app/cli/Port.h"

#include <QJsonObject>
#include <QString>

#include <cstdint>

namespace talvex::cli {

int RunInfo(const Options &o, const PortTarget &port, Output &out);
int RunRead(const Options &o, const PortTarget &port, Output &out);
int RunWatch(const Options &o, const PortTarget &port, Output &out);
int RunWrite(const Options &o, const PortTarget &port, Output &out);
int RunConfigure(const Options &o, const PortTarget &port, Output &out);
int RunFlash(const Options &o, const PortTarget &port, Output &out);
int RunReadFlash(const Options &o, const PortTarget &port, Output &out);
int RunPorts(Output &out);
int RunDoctor(const Options &o, const PortTarget &port, Output &out);
int RunScan(const Options &o, const PortTarget &port, Output &out);
int RunRecipe(const Options &o, Output &out);
int RunRecords(const Options &o, Output &out);
int RunStation(const Options &o, Output &out);

// The module's six settings as info lists them, text lines and JSON keys, from
// `registers` (indexed by register number: 21 ... 26 are read).
void AddModuleSettings(const uint16_t *registers, QString &text, QJsonObject &json);

}  // namespace talvex::cli
