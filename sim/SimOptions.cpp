#include "SimOptions.h"

#include <cstdlib>
#include <string_view>

namespace talvex::sim {
namespace {

constexpr int kFirstCom = 1;
constexpr int kLastCom = 8;
// The adapters' own setting goes from 1 to 255 ms.
constexpr unsigned long kMaxLatencyTimerMs = 255;

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

} // namespace

const char *ModeName(SimMode mode)
{
    switch (mode) {
    case SimMode::FixedPort: return "fixed";
    case SimMode::Rs485Port: return "rs485";
    case SimMode::Gateway: return "gateway";
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
           "  --mode M             fixed (57600, station 1; default), rs485 (register 21/23)\n"
           "                       or gateway (a PLC gateway in front of the CAN side, address 2200 + r)\n"
           "  --state-dir DIR      where committed settings are stored\n"
           "                       (default $XDG_STATE_HOME/talvex-sim or ~/.local/state/talvex-sim)\n"
           "  --fw-version N       register 28 at start (default 150)\n"
           "  --watchdog-ms N      link watchdog period (default 10000)\n"
           "  --no-heartbeat       the gateway writes no heartbeat into register 18\n"
           "  --no-bootloader      nothing answers at 115200 (no serial bootloader)\n"
           "  --realistic          the bootloader answers at line speed, with the chip's erase and write times\n"
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
           "Standard input takes commands (\"help\" lists them); SIGUSR1 restarts the module;\n"
           "SIGINT or SIGTERM ends the program.\n";
}

bool ParseSimOptions(int argc, char **argv, SimOptions &o, bool &help, std::string &error)
{
    help = false;
    o.stateDir = DefaultStateDir();
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        unsigned long n = 0;
        auto number = [&](unsigned long max) {
            if (!ToNumber(value, max, n)) {
                error = std::string(arg) + " needs a number from 0 to " + std::to_string(max);
                return false;
            }
            ++i;
            return true;
        };
        auto text = [&](std::string &into) {
            if (!value) {
                error = std::string(arg) + " needs a value";
                return false;
            }
            into = value;
            ++i;
            return true;
        };
        if (arg == "--help" || arg == "-h") {
            help = true;
            return true;
        } else if (arg == "--port-dir") {
            if (!text(o.portDir))
                return false;
        } else if (arg == "--state-dir") {
            if (!text(o.stateDir))
                return false;
        } else if (arg == "--log") {
            if (!text(o.logPath))
                return false;
        } else if (arg == "--com") {
            if (!number(kLastCom) || n < kFirstCom) {
                error = "--com needs a number from 1 to 8";
                return false;
            }
            o.com = static_cast<int>(n);
        } else if (arg == "--mode") {
            std::string m;
            if (!text(m))
                return false;
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
        } else if (arg == "--fw-version") {
            if (!number(0xFFFF))
                return false;
            o.firmwareVersion = static_cast<uint16_t>(n);
        } else if (arg == "--watchdog-ms") {
            if (!number(3600000) || n == 0) {
                error = "--watchdog-ms needs a number from 1 to 3600000";
                return false;
            }
            o.watchdogMs = static_cast<uint32_t>(n);
        } else if (arg == "--no-heartbeat") {
            o.heartbeat = false;
        } else if (arg == "--no-bootloader") {
            o.bootloader = false;
        } else if (arg == "--realistic") {
            o.realisticBoot = true;
        } else if (arg == "--silent") {
            o.faults.silent = true;
        } else if (arg == "--drop-every") {
            if (!number(1000000))
                return false;
            o.faults.dropEvery = static_cast<uint32_t>(n);
        } else if (arg == "--corrupt-every") {
            if (!number(1000000))
                return false;
            o.faults.corruptEvery = static_cast<uint32_t>(n);
        } else if (arg == "--noise") {
            if (!number(FaultInjector::kMaxNoiseBytes))
                return false;
            o.faults.noiseBytes = static_cast<uint32_t>(n);
        } else if (arg == "--echo") {
            o.echo = true;
        } else if (arg == "--latency-timer") {
            if (!number(kMaxLatencyTimerMs) || n == 0) {
                error = "--latency-timer needs a number from 1 to " + std::to_string(kMaxLatencyTimerMs);
                return false;
            }
            o.latencyTimerMs = static_cast<uint32_t>(n);
        } else if (arg == "--delay-ms") {
            if (!number(FaultInjector::kMaxDelayMs))
                return false;
            o.faults.delayMs = static_cast<uint32_t>(n);
        } else {
            error = "unknown option " + std::string(arg);
            return false;
        }
    }
    if (o.portDir.empty()) {
        error = "--port-dir is required";
        return false;
    }
    return true;
}

} // namespace talvex::sim
