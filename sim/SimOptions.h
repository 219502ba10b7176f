#pragma once
#include "sim/Faults.h"
#include "sim/ModuleCore.h"
#include "sim/bootloader/Stm32MemoryMap.h"

#include <string>
#include <vector>

namespace talvex::sim {

// Which end of the module the tool's port is wired to.
enum class SimMode {
    FixedPort,  // the module's fixed port: 57600, station 1
    Rs485Port,  // its RS-485 port: speed of register 23, station of register 21 modulo 100
    Gateway,    // a PLC gateway in front of the module's CAN side
};

struct SimOptions {
    static constexpr uint32_t kDefaultPassMs = 2;

    std::string portDir;   // where COMn is linked
    int com = 1;           // 1 ... 8
    std::string stateDir;  // holds the stored settings; empty: keep them in memory only
    SimMode mode = SimMode::FixedPort;
    uint16_t firmwareVersion = kDefaultFirmwareVersion;
    uint32_t watchdogMs = ModuleCore::kDefaultWatchdogMs;
    bool heartbeat = true;
    FaultPlan faults;
    std::string logPath;                            // frame log; "-" for standard error
    uint32_t passMs = kDefaultPassMs;               // one main-loop pass (one conversion) per this many ms
    bool bootloader = true;                         // at 115200 the line reaches the chip's serial bootloader
    bool realisticBoot = false;                     // the bootloader answers at line speed and takes the chip's times
    uint16_t imageVersion = kImageFirmwareVersion;  // what the module reports after a flash update
    // The line as an RS-485 adapter that hears itself: every byte the tool sends comes back to it first.
    bool echo = false;
    // A USB adapter's latency timer in ms (0: none); see UsbAdapterModel.
    uint32_t latencyTimerMs = 0;
    // The chip's flash starts read-protected (its RDP option byte set).
    bool readProtected = false;
    // Pages whose four-page groups start write-protected.
    std::vector<uint32_t> writeProtectedPages;
    // The chip's 96-bit unique ID, as its bootloader reads it out at 0x1FFFF7E8
    // (on a bus: the first module's, the one whose bootloader the line reaches).
    stm32::UniqueId uniqueId = stm32::kDefaultUniqueId;
    // The product ID the chip answers to Get ID; 0: the module's family.
    uint16_t productId = 0;
    // Several modules on one RS-485 line, one per station given (the station each
    // takes while it has no stored settings), each with its own registers and
    // state folder. Empty: the one module. A bus runs in Rs485Port mode.
    std::vector<int> busStations;
    // A tool at a speed or format no module runs gets garbage back, as a real line
    // at the wrong speed can bring; otherwise it gets silence.
    bool garbleWrongLine = false;
};

// Command line of talvex-sim. False with a message on a bad option; `help` set for --help.
bool ParseSimOptions(int argc, char **argv, SimOptions &options, bool &help, std::string &error);
std::string SimUsage();
// ${XDG_STATE_HOME:-$HOME/.local/state}/talvex-sim
std::string DefaultStateDir();
const char *ModeName(SimMode mode);

}  // namespace talvex::sim
