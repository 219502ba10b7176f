#pragma once
// The command line of talvex-cli, parsed and range-checked before anything is
// opened or sent.
#include "Frames.h"
#include "MODBUS_RTU.h"
#include "RegisterMap.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace talvex::cli {

// Exit statuses, as the manual page lists them.
inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;  // no answer, a write not echoed, the update failed
inline constexpr int kExitUsage = 2;   // bad usage or a value out of range: nothing sent
inline constexpr int kExitPort = 3;    // the port cannot be opened (missing, busy)

enum class Command { Help, Version, Ports, Info, Read, Watch, Write, Configure, Flash };

// Settings `configure` replaces; the others keep what the module holds.
struct ConfigChanges {
    std::optional<int> station;     // 1 ... 99
    std::optional<int> baudCan;     // index into kBaudCanTexts
    std::optional<int> baud485;     // index into kBaud485Texts
    std::optional<int> dat485;      // index into kDat485Texts
    std::optional<int> filter;      // 0 ... 9
    std::optional<int> suppressMs;  // 1 ... 9999
    bool any() const { return station || baudCan || baud485 || dat485 || filter || suppressMs; }
};

struct Options {
    static constexpr int kDefaultReadCount = kPollRegisterCount;
    static constexpr int kDefaultWatchIntervalMs = 60;  // the window's rate: one exchange every two ticks

    QString port = QStringLiteral("COM1");
    int station = kStationMin;
    TLinkMode mode = TLinkMode::PcUart;
    TEchoMode echo = TEchoMode::Auto;  // whether the adapter hands the request back
    bool json = false;
    bool quiet = false;
    Command command = Command::Help;

    int first = kPollFirstRegister;       // read
    int count = kDefaultReadCount;        // read
    int intervalMs = kDefaultWatchIntervalMs;  // watch
    int times = 0;                        // watch; 0 until interrupted
    int reg = 0;                          // write
    int value = 0;                        // write
    ConfigChanges config;                 // configure
    QString image;                        // flash; empty: the carried image
    bool yesStandIn = false;              // flash
};

// Parses the arguments after the program name. False with a one-line reason.
bool ParseArguments(const QStringList &args, Options &options, QString &error);

// The synopsis printed by --help and after a usage error.
QString Usage();

// "pc-uart" or "plc-can".
QString ModeName(TLinkMode mode);

} // namespace talvex::cli
