#pragma once
#include "modbus/Frames.h"
#include "sim/InputFilter.h"
#include "sim/InputSignals.h"
#include "sim/ModuleRegisters.h"
#include "sim/SettingsStore.h"

#include <array>
#include <cstdint>
#include <optional>

namespace talvex::sim {

// The serial ports whose replies the module counts (registers 300 and 301).
enum class ModulePort { Fixed, Rs485 };

// One CAN message from the module to the gateway: two adjacent registers,
// addressed as the gateway presents them (kPlcCanAddressOffset + ...).
struct CanMessage {
    uint16_t gatewayAddress;
    uint16_t first;
    uint16_t second;
};

// Settings as they act after a start, reduced modulo their tables.
struct AppliedSettings {
    uint16_t station;
    uint16_t baudCanIndex;
    uint16_t baud485Index;
    uint16_t dat485Index;
};

// The module behind its ports: the 500 registers and what its main loop does
// with them on every pass. Knows nothing of bytes or time sources: callers
// hand in the time, so every rule can be driven step by step.
class ModuleCore {
public:
    static constexpr uint32_t kDefaultWatchdogMs = 10000;
    static constexpr uint32_t kFullAccessCanIntervalMs = 5;
    static constexpr int kWindowRegisters = 20;
    static constexpr int kWindowStations = 6;        // window number = station modulo 6
    static constexpr int kFullAccessRegisters = 99;  // gateway addresses 2200 ... 2298
    static constexpr int kWindowPushLast = 18;       // registers 0 ... 18 are sent before the unlock
    static constexpr int kFullAccessPushLast = 31;   // and 0 ... 31 after it

    // store: where committed settings persist; without one they live in memory only.
    explicit ModuleCore(std::optional<SettingsStore> store = std::nullopt, uint32_t noiseSeed = 1);

    // Start-up: registers cleared, outputs at value 0 and gain 100, settings
    // loaded from memory (or the defaults), version set, access window closed.
    void powerUp(uint64_t nowMs);
    // One pass of the main loop: one conversion, filter, outputs, watchdog, commit.
    void pass(uint64_t nowMs);

    uint16_t reg(uint32_t address) const { return regs_[address % kRegisterCount]; }
    void setReg(uint32_t address, uint16_t value) { regs_[address % kRegisterCount] = value; }

    // Serial-port side: addresses modulo 500, a reply counted per port.
    uint16_t serialRead(uint32_t address) const { return reg(address); }
    void serialWrite(uint32_t address, uint16_t value) { setReg(address, value); }
    void noteReplySent(ModulePort port);

    // CAN side. A write through the gateway reaches a register only through the
    // station window (or every register 0 ... 98 after the unlock); false when it reaches none.
    bool canWrite(uint32_t gatewayAddress, uint16_t value);
    // The gateway's own write of its heartbeat into register 18.
    void canWriteRegister(uint16_t reg, uint16_t value);
    // The next change the module sends the gateway, if the send interval allows one now.
    std::optional<CanMessage> nextCanMessage(uint64_t nowMs);
    bool fullAccess() const { return fullAccess_; }
    // First gateway address of the station window (2200 + 20 (s - 1), s = station modulo 6).
    int windowBase() const;

    const AppliedSettings &applied() const { return applied_; }
    uint32_t outputSteps(int channel) const;
    bool outputsForced() const { return outputsForced_; }
    bool hasStoredSettings() const { return nvm_.has_value(); }
    // The flash page that holds the stored settings was erased: from the next
    // start the module runs on its defaults.
    void eraseStoredSettings();

    void setWatchdogPeriodMs(uint32_t ms) { watchdogMs_ = ms ? ms : kDefaultWatchdogMs; }
    uint32_t watchdogPeriodMs() const { return watchdogMs_; }
    // The station a module without stored settings takes, in place of the default
    // 1: a module set up for its place on a bus. Acts at the next start.
    void setFactoryStation(uint16_t station) { factoryStation_ = station; }
    // Acts at the next start, like a new firmware image.
    void setFirmwareVersion(uint16_t version) { version_ = version; }

private:
    void convertOneInput(uint64_t nowMs);
    void driveOutputs();
    void checkWatchdog(uint64_t nowMs);
    void checkCommit();
    void writeFromCan(uint16_t reg, uint16_t value);

    std::array<uint16_t, kRegisterCount> regs_{};
    std::optional<SettingsStore> store_;
    std::optional<StoredSettings> nvm_;
    AppliedSettings applied_{};
    InputSignals signals_;
    std::array<InputFilter, Reg::AD_Count> filters_{};
    std::array<uint32_t, Reg::DA_Count> pwm_{};
    int nextChannel_ = 0;
    uint16_t version_ = kDefaultFirmwareVersion;
    uint16_t factoryStation_ = ModuleDefault::Station;

    uint32_t watchdogMs_ = kDefaultWatchdogMs;
    uint32_t activity_ = 0;
    uint32_t activityAtLastCheck_ = 0;
    uint64_t nextWatchdogCheck_ = 0;
    bool outputsForced_ = false;

    bool fullAccess_ = false;
    std::array<uint16_t, 2> canUnlockSlots_{};  // the last gateway writes to registers 0 and 1
    std::array<std::optional<uint16_t>, kFullAccessPushLast + 1> sentToGateway_{};
    int canCursor_ = 0;
    uint64_t nextCanAllowed_ = 0;
};

}  // namespace talvex::sim
