#include "sim/bootloader/Stm32Bootloader.h"

#include "firmware/stm32/Stm32Protocol.h"
#include "sim/bootloader/Stm32MemoryMap.h"

#include <algorithm>

using namespace stm32;

namespace {

// Commands in the order the Get answer lists them. Of the protection commands
// this model carries out all but Write Protect, which it refuses.
constexpr uint8_t kCommands[] = {
    kCmdGet,          kCmdGetVersion,     kCmdGetId,          kCmdReadMemory,       kCmdGo, kCmdWriteMemory, kCmdErase,
    kCmdWriteProtect, kCmdWriteUnprotect, kCmdReadoutProtect, kCmdReadoutUnprotect,
};

static_assert(std::size(kCommands) == kGetCommandCount);

}  // namespace

Stm32Bootloader::Stm32Bootloader() = default;

std::vector<Stm32Answer> Stm32Bootloader::feedTimed(const uint8_t *bytes, size_t count)
{
    out_.clear();
    for (size_t i = 0; bytes && i < count; ++i)
        step(bytes[i]);
    return std::move(out_);
}

std::vector<uint8_t> Stm32Bootloader::feed(const uint8_t *bytes, size_t count)
{
    std::vector<uint8_t> flat;
    for (const Stm32Answer &a : feedTimed(bytes, count))
        flat.insert(flat.end(), a.bytes.begin(), a.bytes.end());
    return flat;
}

void Stm32Bootloader::reset()
{
    phase_ = Phase::WaitSync;
    pending_.clear();
    current_ = {};
}

void Stm32Bootloader::replaceChip(const UniqueId &id)
{
    memory_ = Stm32Memory();
    memory_.setUniqueId(id);
    faults_ = {};
    log_.clear();
    blocksWritten_ = 0;
    restarts_ = 0;
    reset();
}

Micros Stm32Bootloader::eraseTime(size_t pages)
{
    return kPageEraseTime * static_cast<int64_t>(pages);
}

Micros Stm32Bootloader::programTime(size_t bytes)
{
    return kHalfWordProgramTime * static_cast<int64_t>((bytes + 1) / 2);
}

void Stm32Bootloader::answer(std::vector<uint8_t> bytes, Micros chipTime)
{
    out_.push_back({chipTime, std::move(bytes)});
}

void Stm32Bootloader::finish(bool accepted)
{
    current_.accepted = accepted;
    log_.push_back(std::move(current_));
    current_ = {};
    pending_.clear();
    if (phase_ != Phase::Silent && phase_ != Phase::Started && phase_ != Phase::WaitSync)
        phase_ = Phase::Command;
}

bool Stm32Bootloader::faultNack(uint8_t command, int phase)
{
    if (faults_.nackTimes <= 0 || faults_.nackAt.command != command || faults_.nackAt.phase != phase)
        return false;
    --faults_.nackTimes;
    return true;
}

void Stm32Bootloader::step(uint8_t byte)
{
    switch (phase_) {
    case Phase::Started:
    case Phase::Silent:
        return;
    case Phase::WaitSync:
        if (byte != kSync)
            return;  // the chip cannot measure the baud rate on anything else
        if (faults_.unansweredSyncs != 0) {
            if (faults_.unansweredSyncs > 0)
                --faults_.unansweredSyncs;
            return;
        }
        current_ = {kSync, {}, 0, false};
        if (faultNack(kSync, 0)) {
            answer({kNack});
            log_.push_back(current_);
            current_ = {};
            return;
        }
        answer({kAck});
        current_.accepted = true;
        log_.push_back(current_);
        current_ = {};
        phase_ = Phase::Command;
        return;
    default:
        break;
    }
    pending_.push_back(byte);
    if (phase_ != Phase::Command)
        current_.payload.push_back(byte);
    if (pending_.size() >= awaited())
        complete();
}

size_t Stm32Bootloader::awaited() const
{
    switch (phase_) {
    case Phase::Command:
        return 2;  // the code and its complement
    case Phase::Address:
        return kAddressBytes + 1;  // the address and its XOR
    case Phase::ReadCount:
        return 2;  // count minus one and its complement
    case Phase::WriteData:
        // count byte N, N + 1 data bytes, checksum
        return pending_.empty() ? 1 : size_t(pending_[0]) + 3;
    case Phase::EraseList:
        if (pending_.empty())
            return 1;
        if (pending_[0] == kGlobalEraseCode)
            return 2;                    // the code and its check byte
        return size_t(pending_[0]) + 3;  // N, N + 1 numbers, checksum
    default:
        return 1;
    }
}

void Stm32Bootloader::complete()
{
    switch (phase_) {
    case Phase::Command:
        onCommand(pending_[0], pending_[1]);
        break;
    case Phase::Address:
        onAddress();
        break;
    case Phase::ReadCount:
        onReadCount();
        break;
    case Phase::WriteData:
        onWriteData();
        break;
    case Phase::EraseList:
        onEraseList();
        break;
    default:
        break;
    }
}

void Stm32Bootloader::onCommand(uint8_t code, uint8_t complement)
{
    pending_.clear();
    current_ = {code, {}, 0, false};
    if ((code ^ complement) != kComplementMask || faultNack(code, 0) ||
        (memory_.readProtected() && !allowedWhenProtected(code))) {
        answer({kNack});
        finish(false);
        return;
    }
    command_ = code;
    switch (code) {
    case kCmdGet: {
        // N counts the bytes that follow it, less one: the version and the command codes.
        std::vector<uint8_t> a;
        a.reserve(std::size(kCommands) + 4);
        a.push_back(kAck);
        a.push_back(static_cast<uint8_t>(std::size(kCommands)));
        a.push_back(kBootloaderVersion);
        for (uint8_t c : kCommands)
            a.push_back(c);
        a.push_back(kAck);
        answer(std::move(a));
        finish(true);
        return;
    }
    case kCmdGetVersion:
        answer({kAck, kBootloaderVersion, kOptionStatus1, kOptionStatus2, kAck});
        finish(true);
        return;
    case kCmdGetId:
        answer({kAck, kProductIdBytesMinusOne, uint8_t(productId_ >> 8), uint8_t(productId_ & 0xFF), kAck});
        finish(true);
        return;
    case kCmdReadoutProtect:
    case kCmdReadoutUnprotect:
    case kCmdWriteUnprotect:
        onOptionCommand(code);
        return;
    case kCmdReadMemory:
    case kCmdGo:
    case kCmdWriteMemory:
        answer({kAck});
        phase_ = Phase::Address;
        return;
    case kCmdErase:
        answer({kAck});
        phase_ = Phase::EraseList;
        return;
    default:
        answer({kNack});
        finish(false);
        return;
    }
}

void Stm32Bootloader::onAddress()
{
    const uint32_t address = uint32_t(pending_[0]) << 24 | uint32_t(pending_[1]) << 16 | uint32_t(pending_[2]) << 8 |
                             uint32_t(pending_[3]);
    current_.address = address;
    address_ = address;
    bool valid = Xor(pending_.data(), kAddressBytes) == pending_[kAddressBytes];
    if (command_ == kCmdReadMemory)
        valid = valid && memory_.readable(address, 1);
    else if (command_ == kCmdWriteMemory)
        valid = valid && memory_.writable(address, 1);
    else  // Go: into flash or RAM only
        valid = valid && (Stm32Memory::inFlash(address, 1) || Stm32Memory::inRam(address, 1));
    pending_.clear();
    if (!valid || faultNack(command_, 1)) {
        answer({kNack});
        finish(false);
        return;
    }
    answer({kAck});
    if (command_ == kCmdReadMemory) {
        phase_ = Phase::ReadCount;
    } else if (command_ == kCmdWriteMemory) {
        phase_ = Phase::WriteData;
    } else {
        phase_ = Phase::Started;
        finish(true);
        if (onGo_)
            onGo_(address);
    }
}

void Stm32Bootloader::onReadCount()
{
    const uint32_t count = uint32_t(pending_[0]) + 1;
    const bool valid = (pending_[0] ^ pending_[1]) == kComplementMask && memory_.readable(address_, count);
    if (!valid || faultNack(command_, 2)) {
        answer({kNack});
        finish(false);
        return;
    }
    std::vector<uint8_t> a{kAck};
    for (uint32_t i = 0; i < count; ++i)
        a.push_back(memory_.read(address_ + i));
    answer(std::move(a));
    finish(true);
}

void Stm32Bootloader::onWriteData()
{
    const size_t count = size_t(pending_[0]) + 1;
    const uint8_t *data = pending_.data() + 1;
    const bool valid = Xor(pending_.data(), count + 1) == pending_[count + 1] && count % kWriteAlignment == 0 &&
                       memory_.writable(address_, static_cast<uint32_t>(count));
    if (!valid || faultNack(command_, 2)) {
        answer({kNack});
        finish(false);
        return;
    }
    // A weak cell: the byte is stored with a bit wrong, though the write is acknowledged.
    std::vector<uint8_t> stored(data, data + count);
    if (faults_.flipMask != 0 && faults_.flipAddress >= address_ && faults_.flipAddress - address_ < count) {
        stored[faults_.flipAddress - address_] ^= faults_.flipMask;
        faults_.flipMask = 0;
    }
    Micros busy{0};
    const bool ok = memory_.write(address_, stored.data(), count, busy);
    answer({ok ? kAck : kNack}, busy);
    finish(ok);
    if (!ok)
        return;
    ++blocksWritten_;
    if (faults_.silentAfterBlocks >= 0 && blocksWritten_ >= faults_.silentAfterBlocks) {
        faults_.silentAfterBlocks = -1;
        phase_ = Phase::Silent;
    }
}

void Stm32Bootloader::onEraseList()
{
    const size_t n = pending_.size();
    bool valid = false;
    std::vector<uint32_t> pages;
    if (pending_[0] == kGlobalEraseCode) {
        valid = pending_[1] == kGlobalEraseCheck;
        for (uint32_t p = 0; valid && p < kPageCount; ++p)
            pages.push_back(p);
    } else {
        valid = Xor(pending_.data(), n - 1) == pending_[n - 1];
        for (size_t i = 1; valid && i + 1 < n; ++i) {
            valid = pending_[i] < kPageCount;
            pages.push_back(pending_[i]);
        }
    }
    if (!valid || faultNack(command_, 1)) {
        answer({kNack});
        finish(false);
        return;
    }
    // A write-protected page in the list refuses the whole request.
    for (uint32_t p : pages)
        valid = valid && !memory_.writeProtected(p);
    if (!valid) {
        answer({kNack});
        finish(false);
        return;
    }
    for (uint32_t p : pages)
        memory_.erasePage(p);
    answer({kAck}, pending_[0] == kGlobalEraseCode ? kMassEraseTime : eraseTime(pages.size()));
    finish(true);
}

bool Stm32Bootloader::allowedWhenProtected(uint8_t code)
{
    return code == kCmdGet || code == kCmdGetVersion || code == kCmdGetId || code == kCmdReadoutUnprotect;
}

void Stm32Bootloader::onOptionCommand(uint8_t code)
{
    answer({kAck});
    Micros busy = kOptionBytesTime;
    switch (code) {
    case kCmdReadoutProtect:
        memory_.setReadProtected(true);
        break;
    case kCmdReadoutUnprotect:
        // The whole flash goes before reading is allowed again, protected pages too.
        memory_.eraseAll();
        memory_.clearWriteProtection();
        memory_.setReadProtected(false);
        busy += kMassEraseTime;
        if (onErased_)
            onErased_();
        break;
    default:
        memory_.clearWriteProtection();
        break;
    }
    answer({kAck}, busy);
    finish(true);
    // The new option bytes act from a system reset; the boot pin is still high,
    // so the chip comes back in its bootloader and waits for a sync byte.
    phase_ = Phase::WaitSync;
    ++restarts_;
}
