#pragma once
#include "sim/ModuleRegisters.h"

#include <array>
#include <optional>
#include <string>

namespace talvex::sim {

using StoredSettings = std::array<uint16_t, kSettingsCount>;  // registers 21 ... 26

// The module's non-volatile memory: one small text file in the simulator's own
// state directory. A missing, damaged or foreign file counts as "nothing stored".
class SettingsStore {
public:
    explicit SettingsStore(std::string path) : path_(std::move(path)) {}

    std::optional<StoredSettings> load() const;
    // Written to a temporary file and renamed, so a crash never leaves half a record.
    bool save(const StoredSettings &settings) const;
    // Nothing stored any more (the file removed).
    void erase() const;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

}  // namespace talvex::sim
