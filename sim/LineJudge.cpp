#include "sim/LineJudge.h"

namespace talvex::sim {

namespace {
// kDat485Texts: "8 N 1", "8 O 1", "8 E 1".
constexpr int kFormatNone = 0;
constexpr int kFormatOdd = 1;
constexpr int kFormatEven = 2;
// LineSettings' parity codes.
constexpr int kParityOdd = 1;
constexpr int kParityEven = 2;
}  // namespace

ToolLine ToolLineFromPty(const LineReadback &readback)
{
    ToolLine line;
    line.baud = readback.ospeed;
    line.twoStopBits = readback.cstopb;
    if (readback.parodd)
        line.parity = ToolLine::Parity::Odd;
    else
        line.parity = readback.parenb ? ToolLine::Parity::Even : ToolLine::Parity::EvenOrNone;
    return line;
}

ToolLine ToolLineFromSettings(const LineSettings &settings)
{
    ToolLine line;
    line.baud = settings.baud;
    line.twoStopBits = settings.stopBits != 0;
    line.parity = settings.parity == kParityOdd    ? ToolLine::Parity::Odd
                  : settings.parity == kParityEven ? ToolLine::Parity::Even
                                                   : ToolLine::Parity::None;
    return line;
}

bool LineMatches(const ToolLine &tool, uint32_t baud, int format)
{
    if (tool.baud != baud || tool.twoStopBits)
        return false;
    switch (tool.parity) {
    case ToolLine::Parity::None:
        return format == kFormatNone;
    case ToolLine::Parity::Odd:
        return format == kFormatOdd;
    case ToolLine::Parity::Even:
        return format == kFormatEven;
    case ToolLine::Parity::EvenOrNone:
        return format == kFormatNone || format == kFormatEven;
    }
    return false;
}

}  // namespace talvex::sim
