#pragma once
#include <string>

namespace talvex::sim {

class Simulator;

// One text command, as typed on the simulator's standard input; returns the answer line.
//   get N            -> "N V"           set N V        -> "ok"
//   restart          -> "ok" (power cycle)
//   silent on|off, drop N, corrupt N, noise N, delay MS, faults [off]
//   heartbeat on|off, watchdog MS, status, help, quit
//   remove           -> "ok" (the board off the fixture)
//   insert [HEX]     -> "ok HEX" (a new board with that unique ID, or the next)
std::string RunSimCommand(Simulator &sim, const std::string &line);

}  // namespace talvex::sim
