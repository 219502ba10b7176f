#include "sim/SettingsStore.h"

#include "modbus/Crc16.h"
#include "modbus/Frames.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace talvex::sim {
namespace {

constexpr const char *kHeader = "talvex-sim module settings 1";
constexpr const char *kCheckKey = "check";

// The record's check word: the codec's CRC over the settings, high byte first.
uint16_t CheckWord(const StoredSettings &s)
{
    uint8_t bytes[2 * kSettingsCount];
    for (int i = 0; i < kSettingsCount; ++i)
        PutWordBE(&bytes[2 * i], s[static_cast<size_t>(i)]);
    return CalcCrc16(bytes, sizeof bytes);
}

}  // namespace

std::optional<StoredSettings> SettingsStore::load() const
{
    std::ifstream in(path_);
    if (!in)
        return std::nullopt;
    std::string line;
    if (!std::getline(in, line) || line != kHeader)
        return std::nullopt;
    StoredSettings s{};
    for (int i = 0; i < kSettingsCount; ++i) {
        unsigned reg = 0;
        unsigned value = 0;
        if (!(in >> reg >> value) || reg != kRegSettingsFirst + static_cast<unsigned>(i) || value > 0xFFFF)
            return std::nullopt;
        s[static_cast<size_t>(i)] = static_cast<uint16_t>(value);
    }
    std::string key;
    unsigned check = 0;
    if (!(in >> key >> check) || key != kCheckKey || check != CheckWord(s))
        return std::nullopt;
    return s;
}

bool SettingsStore::save(const StoredSettings &s) const
{
    const std::string temp = path_ + ".new";
    {
        std::ofstream out(temp, std::ios::trunc);
        if (!out)
            return false;
        out << kHeader << '\n';
        for (int i = 0; i < kSettingsCount; ++i)
            out << kRegSettingsFirst + i << ' ' << s[static_cast<size_t>(i)] << '\n';
        out << kCheckKey << ' ' << CheckWord(s) << '\n';
        if (!out.flush())
            return false;
    }
    return std::rename(temp.c_str(), path_.c_str()) == 0;
}

void SettingsStore::erase() const
{
    std::remove(path_.c_str());
}

}  // namespace talvex::sim
