#pragma once
// The command line of talvex-cli, parsed and range-checked before anything is
// opened or sent.
#include "firmware/UpdateReport.h"
#include "modbus/Frames.h"
#include "modbus/ModbusLine.h"
#include "modbus/ModbusMaster.h"
#include "modbus/RegisterMap.h"
#include "modbus/ScanPlan.h"
#include "modbus/SettingsTable.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <array>
#include <optional>

namespace talvex::cli {

// Exit statuses, as the manual page lists them.
inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;  // the module or chip failed, or a result could not be written
inline constexpr int kExitUsage = 2;   // bad usage, a value out of range, an image refused: nothing sent
inline constexpr int kExitPort = 3;    // the port: cannot be opened, refused the settings, or removed
// An interrupt: 128 + the signal's number, as a shell reports a death by it
// (130 SIGINT, 143 SIGTERM, 129 SIGHUP, 131 SIGQUIT); see InterruptStatus().
inline constexpr int kExitSignalBase = 128;

enum class Command {
    Help,
    Version,
    Ports,
    Doctor,
    Info,
    Read,
    Watch,
    Write,
    Configure,
    Flash,
    ReadFlash,
    Scan,
    Recipe,
    Records,
    Station,
};

// Settings `configure` replaces; a station's recipe names them alike.
using ConfigChanges = TSettingChanges;

struct Options {
    static constexpr int kDefaultReadCount = kPollRegisterCount;
    static constexpr int kDefaultWatchIntervalMs = 60;  // the window's rate: one exchange every two ticks
    // No exchange is quicker than the poll's own two ticks: a shorter interval is refused.
    static constexpr int kMinWatchIntervalMs = kDefaultWatchIntervalMs;
    // The command line's boot entry and restart: each wait (reset held, the
    // bootloader's start, the restart's reset) this long. The window's waits are
    // 500 + 500 and 300 ms; a board's reset RC settles in a few milliseconds.
    static constexpr int kDefaultEntryMs = 50;
    static constexpr int kMinEntryMs = 1;
    static constexpr int kMaxEntryMs = 2000;

    QString port = QStringLiteral("COM1");
    bool portGiven = false;  // -p was given (doctor then checks that port alone)
    int station = kStationMin;
    TLinkMode mode = TLinkMode::PcUart;
    TEchoMode echo = TEchoMode::Auto;  // whether the adapter hands the request back
    bool linesInverted = false;        // --lines inverted: the adapter's stages invert DTR and RTS
    TModbusLine line;                  // --baud, --format: the line of every Modbus command
    bool json = false;
    bool quiet = false;
    QString logPath;    // --log: results appended as JSON lines
    QString tracePath;  // --trace: every chunk on the line, decoded; "-" for standard error
    Command command = Command::Help;

    int first = kPollFirstRegister;             // read
    int count = kDefaultReadCount;              // read
    int intervalMs = kDefaultWatchIntervalMs;   // watch
    int times = 0;                              // watch; 0 until interrupted
    bool csv = false;                           // watch: rows of CSV
    QString csvPath;                            // watch: where they go; empty for standard output
    int reg = 0;                                // write
    int value = 0;                              // write
    ConfigChanges config;                       // configure
    QString image;                              // flash; empty: the carried image
    bool yesStandIn = false;                    // flash
    bool verify = true;                         // flash: read back and compare
    TBootEntry bootEntry = TBootEntry::DtrRts;  // flash
    int entryMs = kDefaultEntryMs;              // flash: the waits of the line sequences
    // flash: where a raw binary goes (a HEX image carries its own addresses);
    // read-flash: where the read starts. Empty: the flash base.
    std::optional<uint32_t> address;
    bool anyChip = false;          // flash, read-flash: a chip of another family is taken too
    bool protect = false;          // flash: read-out protection set after a verified write
    bool unprotect = false;        // flash: a protected chip unprotected (all of its flash erased) and flashed
    bool discardSettings = false;  // flash --unprotect: goes on when the module's settings cannot be read first
    QString outFile;               // read-flash: where the bytes go
    std::optional<int> length;     // read-flash; empty: to the end of the chip's flash
    TScanRequest scan;             // scan
    QString recipeFile;            // recipe check FILE
    QString db;                    // records, station: the database's URL (station: empty = the default)
    QString lot;                   // records: only this lot
    QDateTime since;               // records: only runs started from then on
    QString recipe;                // station: the recipe file
    QStringList stationPorts;      // station: one slot per port, in order
    bool once = false;             // station: each slot one board, then the end
    int stationCount = 0;          // station: the end after this many records; 0 = none
    QString operatorName;          // station: recorded with every run
    bool rework = false;           // station: boards already passed in the lot are done again
};

// Parses the arguments after the program name. False with a one-line reason.
bool ParseArguments(const QStringList &args, Options &options, QString &error);

// The synopsis printed by --help and after a usage error.
QString Usage();

// "pc-uart" or "plc-can".
QString ModeName(TLinkMode mode);

// "dtr-rts", "inverted" or "manual".
QString BootEntryName(TBootEntry entry);

}  // namespace talvex::cli
