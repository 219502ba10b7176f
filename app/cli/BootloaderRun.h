#pragma once
// What flash and read-flash share: the update engine run to its end from a
// shell (its progress on standard error, an interrupt, a pulled adapter or an
// adapter without DTR/RTS stopping it), and what the chip told it, in the record.
#include "firmware/Hex.h"
#include "app/cli/Output.h"
#include "app/cli/Port.h"
#include "firmware/UpdateEngine.h"
#include "serial/SerialPort.h"

#include <QJsonObject>

#include <functional>

namespace talvex::cli {

struct BootloaderRun {
    TUpdateOutcome outcome = TUpdateOutcome::LinkFailed;
    bool interrupted = false;
    bool removed = false;
    bool noModemLines = false;  // a serial device that refused DTR/RTS
};

// The head of flash's and read-flash's record: the time, the command, the
// tool's version and the port (with its by-id name, or null).
QJsonObject StartRecord(const QString &command, const PortTarget &port);

// The port a run opens: a COM name by its index, any other by its device path.
void AimAt(TUpdateEngine &engine, const PortTarget &port);

// Starts `engine` (set up by the caller) on `driver` and returns when it has
// ended or was stopped. `failureText` words a failed run for the note that a
// further run follows.
BootloaderRun RunToEnd(TUpdateEngine &engine, TQRTCommDriver &driver, DeviceKind kind, Output &out,
                       const std::function<QString(const TUpdateFailure &)> &failureText);

// The chip's product ID, bootloader version, flash size and unique ID, as far as the run got.
void AddChipFacts(const TUpdateCore &core, QJsonObject &record);

// The failure of a run that was stopped (interrupted, adapter removed, no
// DTR/RTS), recorded; 0 when it was not stopped. `incomplete` says what the
// stop may have left half done.
int FailStopped(const BootloaderRun &run, const TUpdateCore &core, const PortTarget &port, Output &out,
                const QString &incomplete, QJsonObject &record);

}  // namespace talvex::cli
