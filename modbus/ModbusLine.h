#pragma once
// The lines a module's RS-485 port can run: the baud rates and character formats
// of registers 23 and 26, as the tool opens its port for them, and how long a
// frame takes on each. The module's fixed port runs the default line, 57600 8E1.
#include "modbus/RegisterMap.h"
#include "serial/LineFormat.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// The port's speed and parity for each entry of kBaud485Texts and kDat485Texts.
inline constexpr std::array<TComPortBaudRate, 4> kRs485Speeds = {br9600, br19200, br38400, br57600};
inline constexpr std::array<TComPortParity, 3> kRs485Parities = {ptNONE, ptODD, ptEVEN};
static_assert(kRs485Speeds.size() == kBaud485Texts.size() && kRs485Parities.size() == kDat485Texts.size());

// A line as two indexes: into kBaud485Texts and into kDat485Texts.
struct TModbusLine {
    int Baud = ModuleDefault::Baud485;   // "57600"
    int Format = ModuleDefault::Dat485;  // "8 E 1"

    friend bool operator==(const TModbusLine &, const TModbusLine &) = default;
};

// The fixed port's line, which is also the RS-485 port's default.
inline constexpr TModbusLine kDefaultModbusLine{};

// Whether both indexes are in their tables.
bool ValidLine(TModbusLine line);
// What the port is opened with; the default line for indexes outside the tables.
LineFormat LineFormatOf(TModbusLine line);
uint32_t LineBaud(TModbusLine line);
// "57600 8 E 1".
std::string LineText(TModbusLine line);
// "8 E 1" becomes "8E1", as a command line writes it.
std::string FormatWord(int format);

// One character on the wire: start bit, 8 data bits, the parity bit if any, stop bit.
int BitsPerCharacter(TModbusLine line);
// How long `bytes` characters take on the line, in microseconds (rounded up).
uint32_t WireTimeUs(TModbusLine line, size_t bytes);
// The silence that ends a frame: 3.5 characters, and 1750 us at speeds above 19200.
uint32_t FrameEndSilenceUs(TModbusLine line);
