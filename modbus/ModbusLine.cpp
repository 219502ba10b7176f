#include "modbus/ModbusLine.h"

namespace {

constexpr int kStartStopBits = 2;
constexpr int kDataBits = 8;
constexpr uint64_t kUsPerSecond = 1000000;
// Modbus RTU: 3.5 character times of silence end a frame; above 19200 baud a fixed 1750 us.
constexpr uint32_t kFixedSilenceAboveBaud = 19200;
constexpr uint32_t kFixedSilenceUs = 1750;

TModbusLine Checked(TModbusLine line)
{
    return ValidLine(line) ? line : kDefaultModbusLine;
}

}  // namespace

bool ValidLine(TModbusLine line)
{
    return line.Baud >= 0 && static_cast<size_t>(line.Baud) < kRs485Speeds.size() && line.Format >= 0 &&
           static_cast<size_t>(line.Format) < kRs485Parities.size();
}

LineFormat LineFormatOf(TModbusLine line)
{
    line = Checked(line);
    return {kRs485Speeds[static_cast<size_t>(line.Baud)], db8BITS, kRs485Parities[static_cast<size_t>(line.Format)],
            sb1BITS};
}

uint32_t LineBaud(TModbusLine line)
{
    return kBaudTable[LineFormatOf(line).speed];
}

std::string LineText(TModbusLine line)
{
    line = Checked(line);
    return std::string(kBaud485Texts[static_cast<size_t>(line.Baud)]) + " " +
           kDat485Texts[static_cast<size_t>(line.Format)];
}

std::string FormatWord(int format)
{
    std::string word;
    for (const char *c = kDat485Texts[static_cast<size_t>(Checked({0, format}).Format)]; *c; ++c)
        if (*c != ' ')
            word += *c;
    return word;
}

int BitsPerCharacter(TModbusLine line)
{
    return kStartStopBits + kDataBits + (LineFormatOf(line).parity == ptNONE ? 0 : 1);
}

uint32_t WireTimeUs(TModbusLine line, size_t bytes)
{
    const uint64_t bits = uint64_t(bytes) * static_cast<uint64_t>(BitsPerCharacter(line));
    const uint64_t baud = LineBaud(line);
    return static_cast<uint32_t>((bits * kUsPerSecond + baud - 1) / baud);
}

uint32_t FrameEndSilenceUs(TModbusLine line)
{
    if (LineBaud(line) > kFixedSilenceAboveBaud)
        return kFixedSilenceUs;
    // 3.5 characters: seven half characters.
    return (WireTimeUs(line, 7) + 1) / 2;
}
