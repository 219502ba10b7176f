#include "trace/BootDecoder.h"

#include "firmware/stm32/Stm32Protocol.h"

#include <cstdio>

namespace talvex::trace {

namespace {

using Step = BootDecoder::Step;

constexpr size_t kCommandBytes = 2;                         // the code and its complement
constexpr size_t kAddressFrame = stm32::kAddressBytes + 1;  // the address and its XOR
constexpr size_t kGetVersionBody = 3;                       // version and two option bytes
constexpr uint8_t kExtendedErase = 0x44;                    // erase with 16-bit page numbers

std::string Hex(uint32_t value, int digits)
{
    char s[16];
    std::snprintf(s, sizeof s, "0x%0*X", digits, static_cast<unsigned>(value));
    return s;
}

std::string Num(size_t n)
{
    return std::to_string(n);
}

bool ChecksumGood(const std::vector<uint8_t> &b)
{
    return b.size() >= 2 && stm32::Xor(b.data(), b.size() - 1) == b.back();
}

// What follows a command's ACK.
std::vector<Step> CourseAfterAck(int command)
{
    switch (command) {
    case stm32::kCmdGet:
    case stm32::kCmdGetId:
        return {Step::ChipList};
    case stm32::kCmdGetVersion:
        return {Step::ChipVersion};
    case stm32::kCmdReadMemory:
        return {Step::HostAddress, Step::ChipAck, Step::HostLength, Step::ChipAck, Step::ChipData};
    case stm32::kCmdGo:
        return {Step::HostAddress, Step::ChipAck};
    case stm32::kCmdWriteMemory:
        return {Step::HostAddress, Step::ChipAck, Step::HostBlock, Step::ChipAck};
    case stm32::kCmdErase:
    case kExtendedErase:
        return {Step::HostPages, Step::ChipAck};
    }
    return {};
}

bool IsChipStep(Step s)
{
    return s == Step::ChipAck || s == Step::ChipList || s == Step::ChipVersion || s == Step::ChipData;
}

}  // namespace

const char *BootDecoder::CommandName(uint8_t code)
{
    switch (code) {
    case stm32::kCmdGet:
        return "Get";
    case stm32::kCmdGetVersion:
        return "Get Version";
    case stm32::kCmdGetId:
        return "Get ID";
    case stm32::kCmdReadMemory:
        return "Read Memory";
    case stm32::kCmdGo:
        return "Go";
    case stm32::kCmdWriteMemory:
        return "Write Memory";
    case stm32::kCmdErase:
        return "Erase";
    case kExtendedErase:
        return "Extended Erase";
    case stm32::kCmdWriteProtect:
        return "Write Protect";
    case stm32::kCmdWriteUnprotect:
        return "Write Unprotect";
    case stm32::kCmdReadoutProtect:
        return "Readout Protect";
    case stm32::kCmdReadoutUnprotect:
        return "Readout Unprotect";
    }
    return nullptr;
}

std::string BootDecoder::commandName() const
{
    return command_ < 0 ? std::string("sync") : CommandName(static_cast<uint8_t>(command_));
}

bool BootDecoder::expectsChip() const
{
    return at_ < course_.size() && IsChipStep(course_[at_]);
}

void BootDecoder::startCommand(const std::vector<uint8_t> &b, TraceLine &line)
{
    line.unansweredBefore = !answered_;
    line.exchange = ++exchange_;
    answered_ = false;
    course_.clear();
    at_ = 0;
    part_.clear();
    if (b.size() == 1 && b[0] == stm32::kSync) {
        command_ = -1;
        line.text = "sync";
    } else if (b.size() == kCommandBytes && (b[0] ^ b[1]) == stm32::kComplementMask && CommandName(b[0])) {
        command_ = b[0];
        line.text = std::string("command ") + CommandName(b[0]) + " (" + Hex(b[0], 2) + ")";
    } else {
        command_ = -1;
        answered_ = true;
        line.text = Num(b.size()) + " bytes, no command";
        line.failed = true;
        return;
    }
    course_.push_back(Step::ChipAck);
}

void BootDecoder::hostPart(Step step, const std::vector<uint8_t> &b, TraceLine &line)
{
    line.exchange = exchange_;
    std::string &text = line.text;
    bool done = true;
    switch (step) {
    case Step::HostAddress:
        if (b.size() == kAddressFrame) {
            const uint32_t address = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
            const bool good = ChecksumGood(b);
            text = commandName() + " address " + Hex(address, 8) + (good ? ", checksum good" : ", checksum bad");
            line.failed = !good;
        } else {
            text = Num(b.size()) + " bytes where an address was due";
            line.failed = true;
        }
        break;
    case Step::HostLength:
        readLength_ = b.empty() ? 0 : b[0] + 1u;
        text = "Read Memory length " + Num(readLength_) + " bytes";
        if (b.size() != kCommandBytes || (b[0] ^ b[1]) != stm32::kComplementMask) {
            text += ", complement bad";
            line.failed = true;
        }
        break;
    case Step::HostPages:
        if (b.size() == 2 && b[0] == stm32::kGlobalEraseCode && b[1] == stm32::kGlobalEraseCheck) {
            text = "erase all of flash";
        } else if (b.size() >= 3 && b.size() == size_t(b[0]) + 3u) {
            const bool good = ChecksumGood(b);
            text = "erase " + Num(b[0] + 1u) + " pages, " + Num(b[1]) + " ... " + Num(b[b.size() - 2]) +
                   (good ? ", checksum good" : ", checksum bad");
            line.failed = !good;
        } else {
            text = "erase list of " + Num(b.size()) + " bytes";
        }
        break;
    case Step::HostBlock: {
        // The count byte, the data and the checksum may come in sends of their own.
        const bool first = part_.empty();
        part_.insert(part_.end(), b.begin(), b.end());
        const size_t size = size_t(part_[0]) + 1 + 2;
        text = first ? "data block of " + Num(part_[0] + 1u) + " bytes" : std::string("data block continues");
        if (part_.size() < size) {
            text += ", " + Num(part_.size()) + " of " + Num(size) + " bytes so far";
            done = false;
        } else {
            const bool good = part_.size() == size && ChecksumGood(part_);
            text += good ? ", checksum good" : ", checksum bad";
            line.failed = !good;
            part_.clear();
        }
        break;
    }
    default:
        break;
    }
    if (done)
        ++at_;
}

void BootDecoder::Sent(int32_t result, TraceLine &line)
{
    const std::vector<uint8_t> &b = line.bytes;
    const bool hostDue = at_ < course_.size() && !IsChipStep(course_[at_]);
    // The sync byte starts a new run, whatever the last one left half done; but
    // inside a data block a single byte is its count or its checksum.
    const bool sync = b.size() == 1 && b[0] == stm32::kSync && !(hostDue && course_[at_] == Step::HostBlock);
    if (hostDue && !sync)
        hostPart(course_[at_], b, line);
    else
        startCommand(b, line);
    if (result != static_cast<int32_t>(b.size())) {
        line.text += "; only " + Num(static_cast<size_t>(result < 0 ? -result : result)) + " bytes went out";
        line.failed = true;
    }
}

void BootDecoder::chipByte(uint8_t byte, std::vector<std::string> &parts, size_t &stray, bool &failed)
{
    const auto flushStray = [&] {
        if (stray) {
            parts.push_back(Num(stray) + (stray == 1 ? " stray byte" : " stray bytes"));
            failed = true;
            stray = 0;
        }
    };
    if (!expectsChip()) {
        ++stray;
        return;
    }
    const Step step = course_[at_];
    if (step == Step::ChipAck) {
        if (byte == stm32::kAck) {
            flushStray();
            const bool first = at_ == 0;
            parts.push_back("ACK (" + commandName() + ")");
            ++at_;
            if (first) {
                const std::vector<Step> rest = CourseAfterAck(command_);
                course_.insert(course_.end(), rest.begin(), rest.end());
            }
        } else if (byte == stm32::kNack) {
            flushStray();
            parts.push_back("NACK (" + commandName() + ")");
            failed = true;
            course_.clear();
            at_ = 0;
            answered_ = true;  // answered, if refused: the NACK line says so
            return;
        } else {
            ++stray;
            return;
        }
    } else {
        flushStray();
        part_.push_back(byte);
        size_t size = 0;
        switch (step) {
        case Step::ChipList:
            size = size_t(part_[0]) + 2;  // the length byte and length + 1 bytes
            break;
        case Step::ChipVersion:
            size = kGetVersionBody;
            break;
        default:
            size = readLength_;
            break;
        }
        if (part_.size() < size)
            return;
        if (command_ == stm32::kCmdGet && part_.size() >= 2)
            parts.push_back("Get answer: bootloader " + Num(part_[1] >> 4) + "." + Num(part_[1] & 0x0F) + ", " +
                            Num(part_.size() - 2) + " commands");
        else if (command_ == stm32::kCmdGetId)
            parts.push_back("Get ID answer: product ID " +
                            Hex(part_.size() >= 3 ? uint32_t(part_[1]) << 8 | part_[2] : part_.back(), 4));
        else if (command_ == stm32::kCmdGetVersion)
            parts.push_back("Get Version answer: bootloader " + Num(part_[0] >> 4) + "." + Num(part_[0] & 0x0F));
        else
            parts.push_back("Read Memory data, " + Num(part_.size()) + " bytes");
        part_.clear();
        ++at_;
        // Get, Get ID and Get Version end with a further ACK.
        if (step == Step::ChipList || step == Step::ChipVersion)
            course_.insert(course_.begin() + static_cast<long>(at_), Step::ChipAck);
    }
    if (at_ >= course_.size())
        answered_ = true;
}

void BootDecoder::Received(TraceLine &line)
{
    line.exchange = exchange_;
    std::vector<std::string> parts;
    size_t stray = 0;
    const size_t before = part_.size();
    const bool inBody = expectsChip() && course_[at_] != Step::ChipAck;
    for (const uint8_t byte : line.bytes)
        chipByte(byte, parts, stray, line.failed);
    if (stray) {
        parts.push_back(Num(stray) + (stray == 1 ? " stray byte" : " stray bytes"));
        line.failed = true;
    }
    if (!part_.empty())
        parts.push_back(std::string(inBody && before ? "answer continues, " : "answer, ") + Num(part_.size()) +
                        " bytes so far");
    for (size_t i = 0; i < parts.size(); ++i)
        line.text += (i ? "; " : "") + parts[i];
}

}  // namespace talvex::trace
