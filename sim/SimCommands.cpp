#include "sim/SimCommands.h"

#include "sim/BoardIdentity.h"
#include "sim/Simulator.h"

#include <sstream>

namespace talvex::sim {
namespace {

constexpr unsigned long kMaxWord = 0xFFFF;
constexpr unsigned long kMaxCount = 1000000;
constexpr unsigned long kMaxLatencyTimerMs = 255;

const char *kHelp = "commands: get N | set N V | restart | silent on|off | drop N | corrupt N | noise N | delay MS | "
                    "faults [off] | stall on|off | echo on|off | latency-timer MS | heartbeat on|off | watchdog MS | "
                    "protect on|off | remove | insert [HEX] | status | quit";

bool Number(std::istringstream &in, unsigned long max, unsigned long &out)
{
    std::string word;
    if (!(in >> word) || word.empty() || word.find_first_not_of("0123456789") != std::string::npos || word.size() > 10)
        return false;
    out = std::stoul(word);
    return out <= max;
}

bool OnOff(std::istringstream &in, bool &out)
{
    std::string word;
    if (!(in >> word))
        return false;
    if (word == "on")
        out = true;
    else if (word == "off")
        out = false;
    else
        return false;
    return true;
}

}  // namespace

std::string RunSimCommand(Simulator &sim, const std::string &line)
{
    std::istringstream in(line);
    std::string verb;
    if (!(in >> verb))
        return "";
    unsigned long a = 0;
    unsigned long b = 0;
    bool flag = false;
    if (verb == "get") {
        if (!Number(in, kMaxWord, a))
            return "error: get N";
        return std::to_string(a) + " " + std::to_string(sim.reg(static_cast<uint32_t>(a)));
    }
    if (verb == "set") {
        if (!Number(in, kMaxWord, a) || !Number(in, kMaxWord, b))
            return "error: set N V (0 ... 65535)";
        sim.setReg(static_cast<uint32_t>(a), static_cast<uint16_t>(b));
        return "ok";
    }
    if (verb == "restart") {
        sim.powerCycle();
        return "ok";
    }
    if (verb == "heartbeat") {
        if (!OnOff(in, flag))
            return "error: heartbeat on|off";
        sim.setHeartbeat(flag);
        return "ok";
    }
    if (verb == "stall") {
        if (!OnOff(in, flag))
            return "error: stall on|off";
        sim.setStalled(flag);
        return "ok";
    }
    if (verb == "echo") {
        if (!OnOff(in, flag))
            return "error: echo on|off";
        sim.setEcho(flag);
        return "ok";
    }
    if (verb == "latency-timer") {
        if (!Number(in, kMaxLatencyTimerMs, a))
            return "error: latency-timer MS (0 ... 255, 0 for none)";
        sim.setLatencyTimerMs(static_cast<uint32_t>(a));
        return "ok";
    }
    if (verb == "watchdog") {
        if (!Number(in, kMaxCount, a) || a == 0)
            return "error: watchdog MS";
        sim.setWatchdogPeriodMs(static_cast<uint32_t>(a));
        return "ok";
    }
    if (verb == "protect") {
        // The chip's read-out protection, as if set or removed by an earlier host.
        if (!OnOff(in, flag))
            return "error: protect on|off";
        sim.withBootloader([&](BootloaderPersonality &boot) { boot.chip().setReadProtected(flag); });
        return "ok";
    }
    if (verb == "remove") {
        sim.removeBoard();
        return "ok";
    }
    if (verb == "insert") {
        // The board's own ID, or the one after the last board's.
        std::string word;
        stm32::UniqueId id{};
        if (in >> word && !ParseUniqueId(word, id))
            return "error: insert [HEX] (the unique ID, 24 hex digits)";
        return "ok " + UniqueIdText(word.empty() ? sim.insertBoard() : sim.insertBoard(id));
    }
    if (verb == "status") {
        bool readProtected = false;
        sim.withBootloader([&](BootloaderPersonality &boot) { readProtected = boot.chip().readProtected(); });
        const std::string board = sim.boardPresent() ? ", unique ID " + UniqueIdText(sim.uniqueId())
                                                     : ", no board on the fixture";
        return std::string("mode ") + ModeName(sim.mode()) + ", port " + sim.linkPath() + ", port speed " +
               std::to_string(sim.portSpeed()) + ", tool speed " + std::to_string(sim.lastLineSpeed()) + ", faults " +
               sim.faults().describe() + (readProtected ? ", flash read-protected" : "") +
               (sim.moduleCount() > 1 ? ", " + std::to_string(sim.moduleCount()) + " modules on the bus" : "") + board;
    }
    if (verb == "help")
        return kHelp;
    if (verb == "quit") {
        sim.requestStop();
        return "ok";
    }

    FaultPlan plan = sim.faults();
    if (verb == "faults") {
        std::string word;
        if (!(in >> word))
            return "faults " + plan.describe();
        if (word != "off")
            return "error: faults [off]";
        plan = FaultPlan{};
    } else if (verb == "silent") {
        if (!OnOff(in, plan.silent))
            return "error: silent on|off";
    } else if (verb == "drop" || verb == "corrupt" || verb == "noise" || verb == "delay") {
        const unsigned long max = verb == "noise"   ? FaultInjector::kMaxNoiseBytes
                                  : verb == "delay" ? FaultInjector::kMaxDelayMs
                                                    : kMaxCount;
        if (!Number(in, max, a))
            return "error: " + verb + " N (0 ... " + std::to_string(max) + ")";
        uint32_t &field = verb == "drop"      ? plan.dropEvery
                          : verb == "corrupt" ? plan.corruptEvery
                          : verb == "noise"   ? plan.noiseBytes
                                              : plan.delayMs;
        field = static_cast<uint32_t>(a);
    } else {
        return "error: unknown command; " + std::string(kHelp);
    }
    sim.setFaults(plan);
    return "ok";
}

}  // namespace talvex::sim
