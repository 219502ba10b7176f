// The simulated chip's serial bootloader, fed any byte stream with any pauses
// (a pause of a host's reset sequence starts it afresh). It may answer only
// with ACK, NACK or the documented replies; a read returns what the memory
// holds; flash changes only through a command that writes or erases it. While
// the flash is read-protected no byte of it leaves the chip and only Readout
// Unprotect changes it, by erasing all of it.
#include "firmware/stm32/Stm32Protocol.h"
#include "sim/BootloaderPersonality.h"
#include "sim/bootloader/Stm32MemoryMap.h"
#include "tests/fuzz/FuzzSupport.h"

#include <algorithm>
#include <vector>

using namespace talvex::sim;
using Bytes = std::vector<uint8_t>;

namespace {

enum Op : uint8_t { kRaw, kCommand, kAddress, kBlock, kPageList, kCount, kPause, kReset, kFaults, kProtection };
constexpr int kOps = kProtection + 1;

// The commands of this chip, in the order its Get reply lists them.
const Bytes kCommandList = {stm32::kCmdGet,
                            stm32::kCmdGetVersion,
                            stm32::kCmdGetId,
                            stm32::kCmdReadMemory,
                            stm32::kCmdGo,
                            stm32::kCmdWriteMemory,
                            stm32::kCmdErase,
                            stm32::kCmdWriteProtect,
                            stm32::kCmdWriteUnprotect,
                            stm32::kCmdReadoutProtect,
                            stm32::kCmdReadoutUnprotect};

Bytes GetReply()
{
    Bytes r{stm32::kAck, static_cast<uint8_t>(kCommandList.size()), stm32::kBootloaderVersion};
    r.insert(r.end(), kCommandList.begin(), kCommandList.end());
    r.push_back(stm32::kAck);
    return r;
}

const Bytes kFixedReplies[] = {
    {stm32::kAck},
    {stm32::kNack},
    GetReply(),
    {stm32::kAck, stm32::kBootloaderVersion, stm32::kOptionStatus1, stm32::kOptionStatus2, stm32::kAck},
    {stm32::kAck, stm32::kProductIdBytesMinusOne, stm32::kProductIdHigh, stm32::kProductIdLow, stm32::kAck},
};

bool ChangesFlash(uint8_t command)
{
    return command == stm32::kCmdWriteMemory || command == stm32::kCmdErase || command == stm32::kCmdReadoutUnprotect;
}

uint8_t Xor(const Bytes &b)
{
    uint8_t x = 0;
    for (uint8_t v : b)
        x ^= v;
    return x;
}

void MaybeSpoil(fuzz::Input &in, Bytes &b)
{
    if (!b.empty() && in.byte() % 8 == 0)
        b[in.range(0, static_cast<int>(b.size()) - 1)] ^= static_cast<uint8_t>(1 + in.byte() % 255);
}

uint32_t SomeAddress(fuzz::Input &in)
{
    switch (in.byte() % 5) {
    case 0:
        return stm32::kFlashBase + static_cast<uint32_t>(in.range(0, stm32::kFlashBytes + 8));
    case 1:
        return stm32::kRamBase + static_cast<uint32_t>(in.range(0, stm32::kRamBytes + 8));
    case 2:
        return stm32::kSystemBase + static_cast<uint32_t>(in.range(0, stm32::kSystemBytes + 32));
    case 3:
        return stm32::kFlashBase + 1024u * static_cast<uint32_t>(in.range(0, 130)) + 4u * in.range(0, 255);
    default:
        return in.u32();
    }
}

// A reply that is none of the fixed ones must be the data of the read that just ended.
void CheckReadReply(const Bytes &reply, const Stm32Bootloader &chip, size_t logBefore)
{
    FUZZ_CHECK(reply.size() >= 2 && reply.size() <= 1 + stm32::kMaxTransferBytes && reply[0] == stm32::kAck);
    FUZZ_CHECK(chip.log().size() == logBefore + 1);
    const Stm32LogEntry &e = chip.log().back();
    FUZZ_CHECK(e.command == stm32::kCmdReadMemory && e.accepted);
    // Payload: four address bytes and their XOR, then the count minus one and its complement.
    FUZZ_CHECK(e.payload.size() == stm32::kAddressBytes + 3);
    FUZZ_CHECK(size_t(e.payload[stm32::kAddressBytes + 1]) + 1 == reply.size() - 1);
    FUZZ_CHECK(chip.memory().readable(e.address, static_cast<uint32_t>(reply.size() - 1)));
    for (size_t i = 1; i < reply.size(); ++i)
        FUZZ_CHECK(reply[i] == chip.memory().read(e.address + static_cast<uint32_t>(i - 1)));
}

}  // namespace

int TalvexFuzzOne(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    BootloaderPersonality boot;
    Stm32Bootloader &chip = boot.chip();
    chip.setOnGo(
        [](uint32_t address) { FUZZ_CHECK(Stm32Memory::inFlash(address, 1) || Stm32Memory::inRam(address, 1)); });
    if (in.flag()) {  // an earlier program in the first pages
        const Bytes old = in.bytes(in.range(0, 4096));
        chip.preloadFlash(stm32::kFlashBase, old);
    }
    Bytes flash(chip.flash().begin(), chip.flash().end());

    uint64_t now = 0;
    while (!in.empty()) {
        Bytes bytes;
        switch (in.byte() % kOps) {
        case kRaw:
            bytes = in.bytes(in.range(0, 300));
            break;
        case kCommand: {
            const uint8_t code = in.flag() ? kCommandList[in.range(0, int(kCommandList.size()) - 1)] : in.byte();
            bytes = in.flag() ? Bytes{stm32::kSync} : Bytes{code, static_cast<uint8_t>(~code)};
            MaybeSpoil(in, bytes);
            break;
        }
        case kAddress: {
            const uint32_t a = SomeAddress(in);
            bytes = {uint8_t(a >> 24), uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)};
            bytes.push_back(Xor(bytes));
            MaybeSpoil(in, bytes);
            break;
        }
        case kBlock: {
            const int n = in.flag() ? 4 * in.range(1, 64) : in.range(1, 256);
            bytes.push_back(static_cast<uint8_t>(n - 1));
            const Bytes d = in.bytes(static_cast<size_t>(n));
            bytes.insert(bytes.end(), d.begin(), d.end());
            bytes.resize(static_cast<size_t>(n) + 1, 0xFF);
            bytes.push_back(Xor(bytes));
            MaybeSpoil(in, bytes);
            break;
        }
        case kPageList: {
            if (in.byte() % 8 == 0) {
                bytes = {stm32::kGlobalEraseCode, stm32::kGlobalEraseCheck};
            } else {
                const int n = in.range(1, 40);
                bytes.push_back(static_cast<uint8_t>(n - 1));
                for (int i = 0; i < n; ++i)
                    bytes.push_back(static_cast<uint8_t>(in.range(0, 140)));
                bytes.push_back(Xor(bytes));
            }
            MaybeSpoil(in, bytes);
            break;
        }
        case kCount: {
            const uint8_t c = in.byte();
            bytes = {c, static_cast<uint8_t>(~c)};
            MaybeSpoil(in, bytes);
            break;
        }
        case kPause:
            now += static_cast<uint64_t>(in.range(0, 2000));
            break;
        case kReset:
            boot.reset();
            break;
        case kProtection:
            // As an earlier host, or the simulator's own command, would have left the chip.
            chip.setReadProtected(in.flag());
            if (in.flag())
                chip.setWriteProtected(static_cast<uint32_t>(in.range(0, 130)), in.flag());
            break;
        case kFaults: {
            Stm32Faults f;
            f.unansweredSyncs = in.range(-1, 3);
            f.nackAt = {kCommandList[in.range(0, int(kCommandList.size()) - 1)], in.range(0, 2)};
            if (in.flag())
                f.nackAt.command = stm32::kSync;
            f.nackTimes = in.range(0, 3);
            f.silentAfterBlocks = in.range(-1, 4);
            chip.setFaults(f);
            break;
        }
        }
        // Byte by byte: each answer can then be tied to the byte that caused it.
        for (uint8_t b : bytes) {
            const size_t logBefore = chip.log().size();
            const bool inert = chip.started();
            const bool readProtected = chip.readProtected();
            std::vector<LineReply> out;
            boot.receive(&b, 1, now, out);
            FUZZ_CHECK(out.size() <= 2);
            // A chip that went to its program hears nothing until a fresh start (a sync after a pause).
            if (inert && chip.started())
                FUZZ_CHECK(out.empty());
            else if (inert)
                FUZZ_CHECK(b == stm32::kSync);
            for (const LineReply &r : out) {
                if (std::find(std::begin(kFixedReplies), std::end(kFixedReplies), r.bytes) == std::end(kFixedReplies)) {
                    // A read-protected chip answers no read at all.
                    FUZZ_CHECK(!readProtected);
                    CheckReadReply(r.bytes, chip, logBefore);
                }
            }
            if (readProtected && chip.log().size() > logBefore) {
                // Only the commands a protected chip keeps are accepted; Readout
                // Unprotect leaves nothing of the flash behind.
                for (auto e = chip.log().begin() + static_cast<long>(logBefore); e != chip.log().end(); ++e)
                    FUZZ_CHECK(!e->accepted || e->command == stm32::kSync || e->command == stm32::kCmdGet ||
                               e->command == stm32::kCmdGetVersion || e->command == stm32::kCmdGetId ||
                               e->command == stm32::kCmdReadoutUnprotect);
                if (chip.log().back().command == stm32::kCmdReadoutUnprotect && chip.log().back().accepted)
                    FUZZ_CHECK(std::all_of(chip.flash().begin(), chip.flash().end(),
                                           [](uint8_t v) { return v == stm32::kErasedByte; }) &&
                               !chip.readProtected());
            }
            if (chip.log().size() > logBefore) {
                const bool mayChange = std::any_of(chip.log().begin() + static_cast<long>(logBefore), chip.log().end(),
                                                   [](const Stm32LogEntry &e) { return ChangesFlash(e.command); });
                if (mayChange)
                    flash.assign(chip.flash().begin(), chip.flash().end());
                else
                    FUZZ_CHECK(std::equal(chip.flash().begin(), chip.flash().end(), flash.begin(), flash.end()));
            }
        }
        FUZZ_CHECK(std::equal(chip.flash().begin(), chip.flash().end(), flash.begin(), flash.end()));
    }
    return 0;
}
