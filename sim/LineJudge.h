#pragma once
// What the module's RS-485 port makes of the tool's line: it answers only a tool
// whose speed and character format are its own. The simulator sees the tool's
// settings from the far side of a pseudo-terminal, which shows the speed, the
// stop bits and the odd-parity bit but never whether parity is on (a pty clears
// PARENB): there 8N1 and 8E1 cannot be told apart. A test double of the port
// sees the settings whole.
#include "serial/SerialPort.h"
#include "serial/Termios2.h"

#include <cstdint>

namespace talvex::sim {

struct ToolLine {
    enum class Parity { None, Odd, Even, EvenOrNone };
    uint32_t baud = 0;
    Parity parity = Parity::EvenOrNone;
    bool twoStopBits = false;
};

// As a pseudo-terminal's far side reads it: odd parity shows, even and none look alike.
ToolLine ToolLineFromPty(const LineReadback &readback);
// As the port was asked to run (a test double of the platform layer).
ToolLine ToolLineFromSettings(const LineSettings &settings);

// Whether a port running at `baud` with format `format` (an index into
// kDat485Texts: 8N1, 8O1, 8E1) understands the tool.
bool LineMatches(const ToolLine &tool, uint32_t baud, int format);

}  // namespace talvex::sim
