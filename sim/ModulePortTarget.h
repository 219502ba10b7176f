#pragma once
#include "sim/ModbusTarget.h"
#include "sim/ModuleCore.h"

namespace talvex::sim {

// One of the module's own serial ports: the fixed port (station 1) or the
// RS-485 port (the station in register 21 modulo 100, as applied at start).
class ModulePortTarget final : public ModbusTarget {
public:
    ModulePortTarget(ModuleCore &module, ModulePort port) : module_(module), port_(port) {}

    bool answers(uint8_t station) const override;
    uint16_t read(uint32_t address) override { return module_.serialRead(address); }
    void write(uint32_t address, uint16_t value) override { module_.serialWrite(address, value); }
    void replySent() override { module_.noteReplySent(port_); }

private:
    ModuleCore &module_;
    ModulePort port_;
};

}  // namespace talvex::sim
