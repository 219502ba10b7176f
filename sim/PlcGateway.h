#pragma once
#include "sim/ModbusTarget.h"
#include "sim/ModuleCore.h"

#include <array>

namespace talvex::sim {

// The PLC gateway in front of the module's CAN side. It answers reads from its
// own picture of the module, which the module's CAN messages keep up to date,
// forwards writes, and writes a heartbeat into register 18 once a second.
class PlcGateway final : public ModbusTarget {
public:
    static constexpr uint8_t kStation = 1;
    static constexpr uint32_t kHeartbeatMs = 1000;
    // Lowest window base (station number modulo 6 = 0) up to the last full-access address.
    static constexpr int kFirstAddress = int(kPlcCanAddressOffset) - ModuleCore::kWindowRegisters;
    static constexpr int kLastAddress = int(kPlcCanAddressOffset) + ModuleCore::kFullAccessRegisters - 1;

    explicit PlcGateway(ModuleCore &module) : module_(module) {}

    bool answers(uint8_t station) const override { return station == kStation; }
    uint16_t read(uint32_t address) override;
    void write(uint32_t address, uint16_t value) override { module_.canWrite(address, value); }
    void replySent() override {}

    // Takes in the module's CAN messages and beats the heartbeat when due.
    void tick(uint64_t nowMs);
    void setHeartbeat(bool on) { heartbeat_ = on; }
    bool heartbeat() const { return heartbeat_; }
    // After a module restart the gateway's picture is stale; it starts over.
    void moduleRestarted(uint64_t nowMs);

private:
    ModuleCore &module_;
    std::array<uint16_t, kLastAddress - kFirstAddress + 1> image_{};
    bool heartbeat_ = true;
    uint16_t beat_ = 0;
    uint64_t nextBeat_ = kHeartbeatMs;
};

}  // namespace talvex::sim
