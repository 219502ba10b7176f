#pragma once
// One line of the line trace: a chunk of bytes sent or received, when, after how
// much silence, and what it is. No Qt, so the command line and the window share it.
#include <cstdint>
#include <string>
#include <vector>

namespace talvex::trace {

enum class Direction { Tx, Rx };

struct TraceLine {
    double timeMs = 0;     // since the trace started, monotonic
    double silenceMs = 0;  // since the previous chunk either way; -1 for the first
    Direction direction = Direction::Tx;
    std::vector<uint8_t> bytes;
    std::string text;       // what the bytes are
    bool failed = false;    // bad CRC, exception, NACK, stray bytes, a send cut short
    uint64_t exchange = 0;  // the request this chunk belongs to, counted from 1
    // Sent only: the exchange before this one ended without a usable answer.
    bool unansweredBefore = false;
};

// "    1234.567 rx   +1.2 ms  01 03 ... 44 12  reply: ..." as the trace file holds it.
std::string FormatTraceLine(const TraceLine &line);
// "01 03 00 00"
std::string HexBytes(const std::vector<uint8_t> &bytes);
const char *DirectionName(Direction direction);

}  // namespace talvex::trace
