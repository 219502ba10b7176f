#pragma once
// Says what each chunk on the chip's bootloader line is: the sync byte, a
// command by name, ACK or NACK, the address and length of a read or a write, a
// page list, a data block and its checksum, the answers of Get, Get Version and
// Get ID. It follows each command's course (what the host sends and the chip
// answers after each ACK), so every part is read as the command in hand makes it.
#include "trace/Decoder.h"

#include <cstddef>
#include <vector>

namespace talvex::trace {

class BootDecoder : public Decoder {
public:
    void Sent(int32_t result, TraceLine &line) override;
    void Received(TraceLine &line) override;

    // "Get", "Write Memory", ... ; nullptr for a code the protocol does not have.
    static const char *CommandName(uint8_t code);

    // One part of a command's course.
    enum class Step {
        ChipAck,      // ACK or NACK
        ChipList,     // a length byte, that many bytes and one more (Get, Get ID)
        ChipVersion,  // Get Version: version and two option bytes
        ChipData,     // Read Memory: the bytes asked for
        HostAddress,  // four address bytes and their XOR
        HostLength,   // Read Memory: length less one and its complement
        HostPages,    // Erase: page count less one, the pages, their XOR
        HostBlock,    // Write Memory: count less one, the data, the XOR of all
    };

private:
    void startCommand(const std::vector<uint8_t> &b, TraceLine &line);
    void hostPart(Step step, const std::vector<uint8_t> &b, TraceLine &line);
    // Takes one chip byte; appends to `parts` whatever it completes.
    void chipByte(uint8_t byte, std::vector<std::string> &parts, size_t &stray, bool &failed);
    std::string commandName() const;
    bool expectsChip() const;

    std::vector<Step> course_;  // what the command in hand still has to come
    size_t at_ = 0;             // the part in hand
    int command_ = -1;          // -1: the sync byte
    bool answered_ = true;      // the command's course ran to its end
    uint64_t exchange_ = 0;
    std::vector<uint8_t> part_;  // bytes of the part in hand (a body, a data block)
    size_t readLength_ = 0;      // Read Memory: bytes asked for
};

}  // namespace talvex::trace
