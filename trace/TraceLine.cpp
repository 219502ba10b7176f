#include "trace/TraceLine.h"

#include <cstdio>

namespace talvex::trace {

const char *DirectionName(Direction direction)
{
    return direction == Direction::Tx ? "tx" : "rx";
}

std::string HexBytes(const std::vector<uint8_t> &bytes)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i)
            out += ' ';
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 0x0F];
    }
    return out;
}

std::string FormatTraceLine(const TraceLine &line)
{
    char head[64];
    if (line.silenceMs < 0)
        std::snprintf(head, sizeof head, "%12.3f %s %10s", line.timeMs, DirectionName(line.direction), "");
    else
        std::snprintf(head, sizeof head, "%12.3f %s %+7.1f ms", line.timeMs, DirectionName(line.direction),
                      line.silenceMs);
    return std::string(head) + "  " + HexBytes(line.bytes) + "  | " + line.text;
}

}  // namespace talvex::trace
