// Modbus frames for the tests, framed by the codec itself so a test never carries
// a CRC of its own making.
#pragma once

#include "modbus/Frames.h"
#include "tests/support/Bytes.h"

// `body` with its CRC appended.
inline Bytes WithCrc(Bytes body)
{
    body.resize(body.size() + 2);
    PutCrc(body.data(), body.size() - 2);
    return body;
}

// An eight-byte request: station, function, two words.
inline Bytes Frame(uint8_t station, uint8_t function, uint16_t a, uint16_t b)
{
    const RequestFrame f = BuildRequest(station, function, a, b);
    return Bytes(f.begin(), f.end());
}

// A reply to a read (function 3) from `station` carrying `words`.
inline Bytes ReadReply(uint8_t station, const std::vector<uint16_t> &words)
{
    constexpr size_t kHeaderSize = 3;  // station, function, byte count
    Bytes reply{station, kFnReadHoldingRegisters, uint8_t(2 * words.size())};
    reply.resize(kHeaderSize + 2 * words.size());
    for (size_t i = 0; i < words.size(); ++i)
        PutWordBE(&reply[kHeaderSize + 2 * i], words[i]);
    return WithCrc(reply);
}

// A module's reply to a read request (8 bytes, function 3): every register 0.
// Empty for anything else.
inline Bytes ZeroReadReply(const uint8_t *request, size_t size)
{
    constexpr size_t kRequestSize = 8;
    if (size != kRequestSize || request[1] != kFnReadHoldingRegisters)
        return {};
    return ReadReply(request[0], std::vector<uint16_t>(request[5], 0));
}
