#include "sim/ModuleCore.h"

#include <algorithm>

namespace talvex::sim {

ModuleCore::ModuleCore(std::optional<SettingsStore> store, uint32_t noiseSeed)
    : store_(std::move(store)), signals_(noiseSeed)
{
    powerUp(0);
}

void ModuleCore::powerUp(uint64_t nowMs)
{
    regs_.fill(0);
    if (store_)
        nvm_ = store_->load();
    StoredSettings settings{};
    std::copy(std::begin(kModuleDefaults), std::end(kModuleDefaults), settings.begin());
    settings[Reg::Cfg_Station - kRegSettingsFirst] = factoryStation_;
    if (nvm_)
        settings = *nvm_;
    for (int i = 0; i < kSettingsCount; ++i)
        regs_[kRegSettingsFirst + i] = settings[static_cast<size_t>(i)];
    applied_ = {
        static_cast<uint16_t>(regs_[Reg::Cfg_Station] % kStationModulus),
        static_cast<uint16_t>(regs_[Reg::Cfg_BaudCAN] % kBaudCanTexts.size()),
        static_cast<uint16_t>(regs_[Reg::Cfg_Baud485] % kBaud485Texts.size()),
        static_cast<uint16_t>(regs_[Reg::Cfg_Dat485] % kDat485Texts.size()),
    };
    for (int n = 0; n < Reg::DA_Count; ++n)
        regs_[Reg::DA_Gain0 + n] = kPowerUpGain;
    regs_[Reg::FW_Version] = version_;

    for (auto &f : filters_)
        f.clear();
    pwm_.fill(0);
    nextChannel_ = 0;

    activity_ = 0;
    activityAtLastCheck_ = 0;
    nextWatchdogCheck_ = nowMs + watchdogMs_;
    outputsForced_ = false;

    fullAccess_ = false;
    canUnlockSlots_.fill(0);
    sentToGateway_.fill(std::nullopt);
    canCursor_ = 0;
    nextCanAllowed_ = nowMs;
}

void ModuleCore::pass(uint64_t nowMs)
{
    convertOneInput(nowMs);
    checkWatchdog(nowMs);
    checkCommit();
    driveOutputs();
}

void ModuleCore::convertOneInput(uint64_t nowMs)
{
    const int ch = nextChannel_;
    const uint16_t raw = signals_.convert(ch, nowMs);
    regs_[kRegRawInputFirst + ch] = raw;
    InputFilter &filter = filters_[static_cast<size_t>(ch)];
    filter.add(raw);
    // The filter level acts live.
    regs_[Reg::AD_Val0 + ch] = filter.value(regs_[Reg::Cfg_Filter] % kFilterTexts.size());
    nextChannel_ = (ch + 1) % Reg::AD_Count;
}

void ModuleCore::checkWatchdog(uint64_t nowMs)
{
    if (nowMs < nextWatchdogCheck_)
        return;
    outputsForced_ = activity_ == activityAtLastCheck_;
    activityAtLastCheck_ = activity_;
    nextWatchdogCheck_ += watchdogMs_;
    // After a long stall of the host, check again one period from now rather than many times at once.
    if (nextWatchdogCheck_ <= nowMs)
        nextWatchdogCheck_ = nowMs + watchdogMs_;
}

void ModuleCore::checkCommit()
{
    if (regs_[Reg::Cfg_Unlock] != kCfgUnlockCode || regs_[Reg::Cfg_Commit] != kCfgCommitCode)
        return;
    regs_[Reg::Cfg_Unlock] = 0;
    regs_[Reg::Cfg_Commit] = 0;
    StoredSettings s{};
    for (int i = 0; i < kSettingsCount; ++i)
        s[static_cast<size_t>(i)] = regs_[kRegSettingsFirst + i];
    nvm_ = s;
    if (store_)
        store_->save(s);
}

void ModuleCore::eraseStoredSettings()
{
    nvm_.reset();
    if (store_)
        store_->erase();
}

void ModuleCore::driveOutputs()
{
    for (int n = 0; n < Reg::DA_Count; ++n) {
        if (outputsForced_)
            regs_[Reg::DA_Val0 + n] = 0;
        const uint32_t steps = uint32_t{regs_[Reg::DA_Val0 + n]} * regs_[Reg::DA_Gain0 + n] / kPwmDivisor;
        pwm_[static_cast<size_t>(n)] = std::min(steps, kPwmSteps);
    }
}

uint32_t ModuleCore::outputSteps(int channel) const
{
    return channel >= 0 && channel < Reg::DA_Count ? pwm_[static_cast<size_t>(channel)] : 0;
}

void ModuleCore::noteReplySent(ModulePort port)
{
    const uint16_t counter = port == ModulePort::Fixed ? kRegRepliesFixedPort : kRegRepliesRs485Port;
    ++regs_[counter];
    ++activity_;
}

int ModuleCore::windowBase() const
{
    const int s = applied_.station % kWindowStations;
    return int(kPlcCanAddressOffset) + kWindowRegisters * (s - 1);
}

bool ModuleCore::canWrite(uint32_t gatewayAddress, uint16_t value)
{
    const long address = static_cast<long>(gatewayAddress);
    const long offset = fullAccess_ ? address - long(kPlcCanAddressOffset) : address - windowBase();
    const long span = fullAccess_ ? kFullAccessRegisters : kWindowRegisters;
    if (offset < 0 || offset >= span)
        return false;
    writeFromCan(static_cast<uint16_t>(offset), value);
    return true;
}

void ModuleCore::canWriteRegister(uint16_t reg, uint16_t value)
{
    if (reg < kFullAccessRegisters)
        writeFromCan(reg, value);
}

void ModuleCore::writeFromCan(uint16_t reg, uint16_t value)
{
    regs_[reg] = value;
    if (reg == Reg::Link_Beat) {
        activity_ = value;
        regs_[Reg::Link_Echo] = static_cast<uint16_t>(value + 1);
    }
    if (reg > 1)
        return;
    // The conversions overwrite registers 0 and 1 within a few passes, so the
    // unlock test looks at what the gateway last wrote to them, not at the registers.
    canUnlockSlots_[reg] = value;
    const bool pair = canUnlockSlots_[0] == kCanUnlockWord0 && canUnlockSlots_[1] == kCanUnlockWord1;
    if (pair == fullAccess_)
        return;
    fullAccess_ = pair;
    if (pair)
        regs_[Reg::CAN_Unlocked] = kCanUnlockedMarker;
    // The gateway now sees the registers under other addresses: send them all again.
    sentToGateway_.fill(std::nullopt);
    canCursor_ = 0;
}

std::optional<CanMessage> ModuleCore::nextCanMessage(uint64_t nowMs)
{
    if (nowMs < nextCanAllowed_)
        return std::nullopt;
    const int last = fullAccess_ ? kFullAccessPushLast : kWindowPushLast;
    const int pairs = last / 2 + 1;
    for (int k = 0; k < pairs; ++k) {
        const int pair = (canCursor_ + k) % pairs;
        const size_t r = static_cast<size_t>(2 * pair);
        const bool changed = sentToGateway_[r] != regs_[r] || sentToGateway_[r + 1] != regs_[r + 1];
        if (!changed)
            continue;
        sentToGateway_[r] = regs_[r];
        sentToGateway_[r + 1] = regs_[r + 1];
        canCursor_ = (pair + 1) % pairs;
        const uint32_t interval = fullAccess_ ? kFullAccessCanIntervalMs : regs_[Reg::Cfg_TxSuppress];
        nextCanAllowed_ = nowMs + interval;
        const int base = fullAccess_ ? int(kPlcCanAddressOffset) : windowBase();
        return CanMessage{static_cast<uint16_t>(base + 2 * pair), regs_[r], regs_[r + 1]};
    }
    return std::nullopt;
}

}  // namespace talvex::sim
