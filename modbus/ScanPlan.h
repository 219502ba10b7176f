#pragma once
// What a search for a module asks and in which order, how long each question
// waits on its line, and which bytes count as an answer. Plain data and
// functions: the engine that runs it on timers is ScanEngine.h.
#include "modbus/Frames.h"
#include "modbus/ModbusLine.h"
#include "modbus/RegisterMap.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

// The probe reads the version register alone; a module that answers is then read
// whole, its settings and its version, registers 21 ... 28.
inline constexpr int kProbeRegister = Reg::FW_Version;
inline constexpr int kProbeCount = 1;
inline constexpr int kModuleReadFirst = Reg::Cfg_Station;
inline constexpr int kModuleReadCount = Reg::FW_Version - Reg::Cfg_Station + 1;

// The module's turnaround allowance: from the end of a request on the wire to the
// start of its reply in the tool's receive buffer. A USB adapter's latency timer
// at the low latency the tool asks for takes 1 ms; the tool's own way from the
// line to its buffer, measured against the simulated module over a pseudo-terminal
// (bench_scan), took 0.09 ms at the median and 4.1 ms at the 99th percentile on
// the 2-core build machine while other builds ran. 5 ms covers that; a reply in
// the tail still counts while the next probes are out (kLateProbes).
inline constexpr uint32_t kTurnaroundAllowanceMs = 5;
// The largest allowance --probe-ms and the window take.
inline constexpr uint32_t kMaxTurnaroundMs = 5000;

// A reply still counts while this many later probes of its line are out: a
// module that answers a little late is found all the same.
inline constexpr int kLateProbes = 3;
// The whole read that confirms a probe's answer is tried this often.
inline constexpr int kConfirmAttempts = 2;

// One question: station `Station` on `Line`.
struct TProbe {
    int Station = kStationMin;
    TModbusLine Line;

    friend bool operator==(const TProbe &, const TProbe &) = default;
};

// What to search. Empty lists take every station (1 ... 99), baud rate and format.
struct TScanRequest {
    std::vector<int> Stations;
    std::vector<int> Bauds;    // indexes into kBaud485Texts
    std::vector<int> Formats;  // indexes into kDat485Texts
    bool All = false;          // go on past the first module found
    uint32_t TurnaroundMs = kTurnaroundAllowanceMs;
};

// The order of the probes: the fixed port's line first (57600 8E1, station 1),
// then the rest of that line, which is also the RS-485 port's default, then the
// other lines, each station by station. Lines follow the order of the request's
// lists, stations the order of theirs (ascending by default). Entries outside
// their tables and repeats are left out.
std::vector<TProbe> ScanOrder(const TScanRequest &request);

// How long one exchange waits on `line`: the request on the wire, the silence
// that ends it, the reply of `replyRegisters` registers, and the allowance;
// whole milliseconds, rounded up.
uint32_t ExchangeWaitMs(TModbusLine line, int replyRegisters, uint32_t turnaroundMs);
inline uint32_t ProbeWaitMs(TModbusLine line, uint32_t turnaroundMs)
{
    return ExchangeWaitMs(line, kProbeCount, turnaroundMs);
}

// The sum of the probe waits of a whole request, in milliseconds.
uint64_t PlannedProbeMs(const TScanRequest &request);

// The requests: the probe, and the read that confirms it.
RequestFrame ProbeRequest(int station);
RequestFrame ModuleReadRequest(int station);

// A reply to a read of `registers` registers found in received bytes.
struct TFoundReply {
    size_t At = 0;  // where it starts
    uint8_t Station = 0;
    std::array<uint16_t, kModuleReadCount> Words{};  // the first `registers` are the reply's
};

// Every complete reply with a valid CRC to a read of `registers` registers
// (function 3, byte count 2 x registers) from a station 1 ... 99, in order of
// their position. Noise, stray bytes, cut frames, a bad CRC, an echo of the
// request and exception replies are none.
std::vector<TFoundReply> FindReplies(const uint8_t *bytes, size_t count, int registers);

// What a module found answered: its station and line, and registers 21 ... 28.
struct TFoundModule {
    int Station = kStationMin;
    TModbusLine Line;
    std::array<uint16_t, kModuleReadCount> Registers{};  // registers 21 ... 28 as read

    uint16_t Firmware() const { return Registers[Reg::FW_Version - kModuleReadFirst]; }
    // Register `reg` (21 ... 28) as read.
    uint16_t Register(int reg) const { return Registers[static_cast<size_t>(reg - kModuleReadFirst)]; }
    // The same module heard on another format: same station, baud rate and registers.
    bool SameModule(const TFoundModule &other) const
    {
        return Station == other.Station && Line.Baud == other.Line.Baud && Registers == other.Registers;
    }
};
