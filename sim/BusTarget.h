#pragma once
#include "sim/LineJudge.h"
#include "sim/ModbusTarget.h"
#include "sim/ModuleCore.h"
#include "sim/ModulePortTarget.h"

#include <vector>

namespace talvex::sim {

// Modules on one RS-485 line: a request reaches the module whose station it
// names, if that module's port runs the line the tool talks in (its baud rate
// and format as applied at its last start). The others stay silent, as on a
// real bus.
class BusTarget final : public ModbusTarget {
public:
    // The module and its RS-485 port must outlive the bus.
    void add(ModuleCore &module, ModulePortTarget &port) { members_.push_back({&module, &port}); }

    // The tool's line, as the module's side sees it; set before each request.
    void setToolLine(const ToolLine &line) { tool_ = line; }
    // Whether any module understands the tool's line.
    bool hearsLine() const;
    // The line speeds of the modules, as they started.
    std::vector<uint32_t> speeds() const;

    ModbusTarget *forStation(uint8_t station) override;
    bool answers(uint8_t station) const override;
    // Requests go to the member forStation() names; these are never reached.
    uint16_t read(uint32_t) override { return 0; }
    void write(uint32_t, uint16_t) override {}
    void replySent() override {}

private:
    struct Member {
        ModuleCore *module;
        ModulePortTarget *port;
    };
    bool understands(const Member &m) const;

    std::vector<Member> members_;
    ToolLine tool_;
};

}  // namespace talvex::sim
