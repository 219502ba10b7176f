#include "sim/SimOptions.h"

#include "modbus/RegisterMap.h"
#include "sim/BoardIdentity.h"

#include <algorithm>
#include <cstdlib>
#include <getopt.h>
#include <sstream>
#include <string_view>

namespace talvex::sim {
namespace {

constexpr int kFirstCom = 1;
constexpr int kLastCom = 8;
// The adapters' own setting goes from 1 to 255 ms.
constexpr unsigned long kMaxLatencyTimerMs = 255;
constexpr unsigned long kLastFlashPage = 127;  // the chip's 128 pages of 1 KiB
// --bus N puts modules at stations 1 ... N; a list names them.
constexpr unsigned long kMaxBusModules = 32;

bool ToNumber(const char *text, unsigned long max, unsigned long &out)
{
    if (!text || !*text)
        return false;
    char *end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (*end != '\0' || text[0] == '-' || v > max)
        return false;
    out = v;
    return true;
}

}  // namespace

const char *ModeName(SimMode mode)
{
    switch (mode) {
    case SimMode::FixedPort:
        return "fixed";
    case SimMode::Rs485Port:
        return "rs485";
    case SimMode::Gateway:
        return "gateway";
    }
    return "?";
}

std::string DefaultStateDir()
{
    if (const char *xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg)
        return std::string(xdg) + "/talvex-sim";
    if (const char *home = std::getenv("HOME"); home && *home)
        return std::string(home) + "/.local/state/talvex-sim";
    return {};
}

std::string SimUsage()
{
    return "usage: talvex-sim --port-dir DIR [options]\n"
           "  --port-dir DIR       link the simulated port as DIR/COMn (required)\n"
           "  --com N              port number n, 1 ... 8 (default 1)\n"
           "  --mode M             fixed (57600 8E1, station 1; default), rs485 (station, baud rate and\n"
           "                       format from the stored settings, registers 21, 23 and 26)\n"
           "                       or gateway (a PLC gateway in front of the CAN side, address 2200 + r)\n"
           "  --bus N|LIST         N modules (stations 1 ... N) or one per station listed (\"3,37,90\")\n"
           "                       on one RS-485 line (implies --mode rs485); the station is each one's\n"
           "                       own until it stores settings, in a state folder of its own\n"
           "  --garble-wrong-line  answer garbage to a tool on a speed or format no module runs\n"
           "  --state-dir DIR      where committed settings are stored\n"
           "                       (default $XDG_STATE_HOME/talvex-sim or ~/.local/state/talvex-sim)\n"
           "  --fw-version N       register 28 at start (default 150)\n"
           "  --watchdog-ms N      link watchdog period (default 10000)\n"
           "  --no-heartbeat       the gateway writes no heartbeat into register 18\n"
           "  --no-bootloader      nothing answers at 115200 (no serial bootloader)\n"
           "  --realistic          the bootloader answers at line speed, with the chip's erase and write times\n"
           "  --protected          the chip's flash is read-protected: the bootloader refuses to read,\n"
           "                       write, erase or run it until Readout Unprotect erases all of it\n"
           "  --write-protect P    the four pages around flash page P (0 ... 127) are write-protected\n"
           "  --uid HEX            the chip's unique ID, 24 hex digits (default 54414C564558000120240615);\n"
           "                       on a bus the first module's, whose bootloader the line reaches\n"
           "  --product-id ID      the chip answers this product ID to Get ID (default 0x0410)\n"
           "  --log FILE           log every frame with a millisecond time stamp ('-' = stderr)\n"
           "  --silent             answer nothing\n"
           "  --drop-every N       leave out every Nth reply\n"
           "  --corrupt-every N    spoil the CRC of every Nth reply\n"
           "  --noise N            put N noise bytes before every reply\n"
           "  --delay-ms D         answer D ms late\n"
           "  --echo               hand every byte the tool sends back to it before any reply,\n"
           "                       as a 2-wire RS-485 adapter that hears itself does\n"
           "  --latency-timer MS   a USB adapter's latency timer: bytes reach the tool when 62 are\n"
           "                       waiting or MS ms after the last one arrived (the line paced at its speed)\n"
           "Standard input takes commands (\"help\" lists them): \"remove\" takes the board off the\n"
           "fixture (silence on the line), \"insert [HEX]\" puts a new one on it (the next unique ID or\n"
           "HEX, no stored settings, firmware one version older than the image); SIGUSR1 restarts the module;\n"
           "SIGINT or SIGTERM ends the program.\n";
}

namespace {

// getopt_long's codes for the long options; none has a short form but --help's -h.
enum OptionCode : int {
    kPortDir = 256,
    kStateDir,
    kLog,
    kCom,
    kMode,
    kFwVersion,
    kWatchdogMs,
    kNoHeartbeat,
    kNoBootloader,
    kRealistic,
    kSilent,
    kDropEvery,
    kCorruptEvery,
    kNoise,
    kEcho,
    kLatencyTimer,
    kDelayMs,
    kProtected,
    kWriteProtect,
    kProductId,
    kBus,
    kGarbleWrongLine,
    kUid,
};

const option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"port-dir", required_argument, nullptr, kPortDir},
    {"state-dir", required_argument, nullptr, kStateDir},
    {"log", required_argument, nullptr, kLog},
    {"com", required_argument, nullptr, kCom},
    {"mode", required_argument, nullptr, kMode},
    {"fw-version", required_argument, nullptr, kFwVersion},
    {"watchdog-ms", required_argument, nullptr, kWatchdogMs},
    {"no-heartbeat", no_argument, nullptr, kNoHeartbeat},
    {"no-bootloader", no_argument, nullptr, kNoBootloader},
    {"realistic", no_argument, nullptr, kRealistic},
    {"silent", no_argument, nullptr, kSilent},
    {"drop-every", required_argument, nullptr, kDropEvery},
    {"corrupt-every", required_argument, nullptr, kCorruptEvery},
    {"noise", required_argument, nullptr, kNoise},
    {"echo", no_argument, nullptr, kEcho},
    {"latency-timer", required_argument, nullptr, kLatencyTimer},
    {"delay-ms", required_argument, nullptr, kDelayMs},
    {"protected", no_argument, nullptr, kProtected},
    {"write-protect", required_argument, nullptr, kWriteProtect},
    {"product-id", required_argument, nullptr, kProductId},
    {"bus", required_argument, nullptr, kBus},
    {"garble-wrong-line", no_argument, nullptr, kGarbleWrongLine},
    {"uid", required_argument, nullptr, kUid},
    {nullptr, 0, nullptr, 0},
};

// The option as the user wrote it, for messages.
std::string OptionName(int code)
{
    for (const option &o : kLongOptions)
        if (o.name && o.val == code)
            return std::string("--") + o.name;
    return "option";
}

// "3" is stations 1 ... 3; "3,37,90" those three. Stations 1 ... 99, each once.
bool BusStations(const char *value, std::vector<int> &out, std::string &error)
{
    const std::string text = value ? value : "";
    error = "--bus needs a count (1 ... " + std::to_string(kMaxBusModules) +
            ") or a list of different stations 1 ... 99 (\"3,37,90\")";
    unsigned long n = 0;
    out.clear();
    if (text.find(',') == std::string::npos && ToNumber(text.c_str(), kMaxBusModules, n)) {
        if (n == 0)
            return false;
        for (unsigned long s = 1; s <= n; ++s)
            out.push_back(static_cast<int>(s));
        return true;
    }
    std::istringstream in(text);
    std::string word;
    while (std::getline(in, word, ',')) {
        if (!ToNumber(word.c_str(), kStationMax, n) || n < kStationMin ||
            std::find(out.begin(), out.end(), static_cast<int>(n)) != out.end() || out.size() >= kMaxBusModules)
            return false;
        out.push_back(static_cast<int>(n));
    }
    return !out.empty();
}

// The checks of one option's value; false with the message.
bool TakeValue(int code, const char *value, SimOptions &o, std::string &error)
{
    unsigned long n = 0;
    auto number = [&](unsigned long max) {
        if (!ToNumber(value, max, n)) {
            error = OptionName(code) + " needs a number from 0 to " + std::to_string(max);
            return false;
        }
        return true;
    };
    switch (code) {
    case kPortDir:
        o.portDir = value;
        return true;
    case kStateDir:
        o.stateDir = value;
        return true;
    case kLog:
        o.logPath = value;
        return true;
    case kCom:
        if (!number(kLastCom) || n < kFirstCom) {
            error = "--com needs a number from 1 to 8";
            return false;
        }
        o.com = static_cast<int>(n);
        return true;
    case kMode: {
        const std::string_view m = value;
        if (m == "fixed")
            o.mode = SimMode::FixedPort;
        else if (m == "rs485")
            o.mode = SimMode::Rs485Port;
        else if (m == "gateway")
            o.mode = SimMode::Gateway;
        else {
            error = "--mode is fixed, rs485 or gateway";
            return false;
        }
        return true;
    }
    case kFwVersion:
        if (!number(0xFFFF))
            return false;
        o.firmwareVersion = static_cast<uint16_t>(n);
        return true;
    case kWatchdogMs:
        if (!number(3600000) || n == 0) {
            error = "--watchdog-ms needs a number from 1 to 3600000";
            return false;
        }
        o.watchdogMs = static_cast<uint32_t>(n);
        return true;
    case kNoHeartbeat:
        o.heartbeat = false;
        return true;
    case kNoBootloader:
        o.bootloader = false;
        return true;
    case kRealistic:
        o.realisticBoot = true;
        return true;
    case kProtected:
        o.readProtected = true;
        return true;
    case kWriteProtect:
        if (!number(kLastFlashPage))
            return false;
        o.writeProtectedPages.push_back(static_cast<uint32_t>(n));
        return true;
    case kProductId: {
        char *end = nullptr;
        const unsigned long id = value && *value ? std::strtoul(value, &end, 0) : 0;
        if (!value || !*value || *end != '\0' || value[0] == '-' || id == 0 || id > 0xFFFF) {
            error = "--product-id needs a product ID from 0x0001 to 0xFFFF";
            return false;
        }
        o.productId = static_cast<uint16_t>(id);
        return true;
    }
    case kSilent:
        o.faults.silent = true;
        return true;
    case kEcho:
        o.echo = true;
        return true;
    case kDropEvery:
        if (!number(1000000))
            return false;
        o.faults.dropEvery = static_cast<uint32_t>(n);
        return true;
    case kCorruptEvery:
        if (!number(1000000))
            return false;
        o.faults.corruptEvery = static_cast<uint32_t>(n);
        return true;
    case kNoise:
        if (!number(FaultInjector::kMaxNoiseBytes))
            return false;
        o.faults.noiseBytes = static_cast<uint32_t>(n);
        return true;
    case kLatencyTimer:
        if (!number(kMaxLatencyTimerMs) || n == 0) {
            error = "--latency-timer needs a number from 1 to " + std::to_string(kMaxLatencyTimerMs);
            return false;
        }
        o.latencyTimerMs = static_cast<uint32_t>(n);
        return true;
    case kDelayMs:
        if (!number(FaultInjector::kMaxDelayMs))
            return false;
        o.faults.delayMs = static_cast<uint32_t>(n);
        return true;
    case kBus:
        return BusStations(value, o.busStations, error);
    case kGarbleWrongLine:
        o.garbleWrongLine = true;
        return true;
    case kUid:
        if (!value || !ParseUniqueId(value, o.uniqueId)) {
            error = "--uid needs the chip's unique ID as 24 hex digits (\"54414C564558000120240615\")";
            return false;
        }
        return true;
    }
    return false;
}

}  // namespace

bool ParseSimOptions(int argc, char **argv, SimOptions &o, bool &help, std::string &error)
{
    help = false;
    bool modeGiven = false;
    o.stateDir = DefaultStateDir();
    // '+': stop at the first word that is not an option, so a stray word is refused
    // below rather than moved past the options; ':' reports a missing value as ':'.
    // getopt_long's own messages are off: the caller says what went wrong.
    static const char kShortOptions[] = "+:h";
    opterr = 0;
    optind = 0;  // start afresh: the parser keeps its place between calls
    for (;;) {
        int index = -1;
        const int code = getopt_long(argc, argv, kShortOptions, kLongOptions, &index);
        if (code == -1)
            break;
        if (code == 'h') {
            help = true;
            return true;
        }
        // The word just read, for the messages about it.
        const std::string word = optind >= 1 && optind <= argc ? argv[optind - 1] : "";
        if (code == ':') {
            error = word + " needs a value";
            return false;
        }
        if (code == '?') {
            error = "unknown option " + word;
            return false;
        }
        if (!TakeValue(code, optarg, o, error))
            return false;
        modeGiven = modeGiven || code == kMode;
    }
    if (optind < argc) {
        error = "unknown option " + std::string(argv[optind]);
        return false;
    }
    if (o.portDir.empty()) {
        error = "--port-dir is required";
        return false;
    }
    if (!o.busStations.empty()) {
        if (modeGiven && o.mode != SimMode::Rs485Port) {
            error = "--bus puts modules on an RS-485 line: it goes with --mode rs485 only";
            return false;
        }
        o.mode = SimMode::Rs485Port;
    }
    return true;
}

}  // namespace talvex::sim
