#include "sim/bootloader/Stm32Memory.h"

#include <algorithm>

using namespace stm32;

namespace {

// Option byte layout: each byte is followed by its complement.
constexpr unsigned kOptionRdp = 0;   // read protection
constexpr unsigned kOptionUser = 2;  // watchdog and reset options
constexpr unsigned kOptionWrp = 8;   // WRP0 ... WRP3: a cleared bit protects its pages
constexpr unsigned kWrpBytes = 4;
constexpr unsigned kOptionStride = 2;         // a byte and its complement
constexpr uint8_t kOptionUserDefault = 0xFF;  // software watchdog, no reset on stop or standby
constexpr uint8_t kOptionUnset = 0xFF;        // data and write-protection bytes as shipped

bool Inside(uint32_t address, uint32_t count, uint32_t base, uint32_t size)
{
    return address >= base && count <= size && address - base <= size - count;
}

}  // namespace

Stm32Memory::Stm32Memory() : flash_(kFlashBytes, kErasedByte), ram_(kRamBytes, 0), system_(kSystemBytes, kErasedByte)
{
    const uint32_t sizeAt = kFlashSizeRegister - kSystemBase;
    system_[sizeAt] = static_cast<uint8_t>(kFlashSizeKiB & 0xFF);  // little-endian register
    system_[sizeAt + 1] = static_cast<uint8_t>(kFlashSizeKiB >> 8);
    setUniqueId(kDefaultUniqueId);
    for (unsigned i = 0; i < kOptionBytes; i += kOptionStride) {
        options_[i] = kOptionUnset;
        options_[i + 1] = static_cast<uint8_t>(~kOptionUnset);
    }
    // As shipped: readable, no sector write-protected.
    options_[kOptionRdp] = kRdpUnprotected;
    options_[kOptionRdp + 1] = static_cast<uint8_t>(~kRdpUnprotected);
    options_[kOptionUser] = kOptionUserDefault;
    options_[kOptionUser + 1] = static_cast<uint8_t>(~kOptionUserDefault);
}

void Stm32Memory::setUniqueId(const UniqueId &id)
{
    std::copy(id.begin(), id.end(), system_.begin() + (kUniqueIdAddress - kSystemBase));
}

UniqueId Stm32Memory::uniqueId() const
{
    UniqueId id{};
    std::copy_n(system_.begin() + (kUniqueIdAddress - kSystemBase), id.size(), id.begin());
    return id;
}

bool Stm32Memory::inFlash(uint32_t address, uint32_t count)
{
    return Inside(address, count, kFlashBase, kFlashBytes);
}

bool Stm32Memory::inRam(uint32_t address, uint32_t count)
{
    return Inside(address, count, kRamBase, kRamBytes);
}

bool Stm32Memory::readable(uint32_t address, uint32_t count) const
{
    return inFlash(address, count) || inRam(address, count) || Inside(address, count, kSystemBase, kSystemBytes) ||
           Inside(address, count, kOptionBase, kOptionBytes);
}

bool Stm32Memory::writable(uint32_t address, uint32_t count) const
{
    // Option bytes are not written through this path here; the RAM the bootloader runs in is refused.
    return inFlash(address, count) ||
           Inside(address, count, kRamBase + kRamBootloaderBytes, kRamBytes - kRamBootloaderBytes);
}

uint8_t Stm32Memory::read(uint32_t address) const
{
    if (inFlash(address, 1))
        return flash_[address - kFlashBase];
    if (inRam(address, 1))
        return ram_[address - kRamBase];
    if (Inside(address, 1, kSystemBase, kSystemBytes))
        return system_[address - kSystemBase];
    if (Inside(address, 1, kOptionBase, kOptionBytes))
        return options_[address - kOptionBase];
    return kErasedByte;
}

bool Stm32Memory::write(uint32_t address, const uint8_t *data, size_t count, Micros &busy)
{
    if (!writable(address, static_cast<uint32_t>(count)))
        return false;
    if (!inFlash(address, static_cast<uint32_t>(count))) {
        std::copy(data, data + count, ram_.begin() + (address - kRamBase));
        return true;
    }
    // Flash takes half-words; one that is neither erased nor being cleared to zero
    // stops the programming with an error.
    const uint32_t offset = address - kFlashBase;
    if (offset % 2 != 0)
        return false;
    for (size_t i = 0; i + 1 < count; i += 2) {
        if (writeProtected((offset + static_cast<uint32_t>(i)) / kPageBytes))
            return false;
        const uint32_t at = offset + static_cast<uint32_t>(i);
        const uint16_t now = uint16_t(flash_[at] | flash_[at + 1] << 8);
        const uint16_t value = uint16_t(data[i] | data[i + 1] << 8);
        if (now != kErasedHalfWord && value != kZeroHalfWord)
            return false;
        flash_[at] = data[i];
        flash_[at + 1] = data[i + 1];
        busy += kHalfWordProgramTime;
    }
    return true;
}

bool Stm32Memory::erasePage(uint32_t page)
{
    if (page >= kPageCount || writeProtected(page))
        return false;
    std::fill_n(flash_.begin() + page * kPageBytes, kPageBytes, kErasedByte);
    return true;
}

void Stm32Memory::eraseAll()
{
    std::fill(flash_.begin(), flash_.end(), kErasedByte);
}

bool Stm32Memory::readProtected() const
{
    return options_[kOptionRdp] != kRdpUnprotected;
}

void Stm32Memory::setReadProtected(bool on)
{
    const uint8_t rdp = on ? kRdpProtected : kRdpUnprotected;
    options_[kOptionRdp] = rdp;
    options_[kOptionRdp + 1] = static_cast<uint8_t>(~rdp);
}

bool Stm32Memory::writeProtected(uint32_t page) const
{
    const uint32_t bit = page / kPagesPerWrpBit;
    if (bit >= kWrpBytes * 8)
        return false;
    return (options_[kOptionWrp + (bit / 8) * kOptionStride] & (1u << (bit % 8))) == 0;
}

void Stm32Memory::setWriteProtected(uint32_t page, bool on)
{
    const uint32_t bit = page / kPagesPerWrpBit;
    if (bit >= kWrpBytes * 8)
        return;
    uint8_t &wrp = options_[kOptionWrp + (bit / 8) * kOptionStride];
    const auto mask = static_cast<uint8_t>(1u << (bit % 8));
    wrp = on ? static_cast<uint8_t>(wrp & ~mask) : static_cast<uint8_t>(wrp | mask);
    options_[kOptionWrp + (bit / 8) * kOptionStride + 1] = static_cast<uint8_t>(~wrp);
}

bool Stm32Memory::anyWriteProtected() const
{
    for (uint32_t page = 0; page < kPageCount; page += kPagesPerWrpBit)
        if (writeProtected(page))
            return true;
    return false;
}

void Stm32Memory::clearWriteProtection()
{
    for (unsigned i = 0; i < kWrpBytes; ++i) {
        options_[kOptionWrp + i * kOptionStride] = kOptionUnset;
        options_[kOptionWrp + i * kOptionStride + 1] = static_cast<uint8_t>(~kOptionUnset);
    }
}

void Stm32Memory::preloadFlash(uint32_t address, std::span<const uint8_t> bytes)
{
    if (bytes.size() > kFlashBytes || !inFlash(address, static_cast<uint32_t>(bytes.size())))
        return;
    std::copy(bytes.begin(), bytes.end(), flash_.begin() + (address - kFlashBase));
}
