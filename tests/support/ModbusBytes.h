// Modbus frames for the tests, framed by the codec itself so a test never carries
// a CRC of its own making.
#pragma once

#include "Bytes.h"
#include "Frames.h"

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

// A module's reply to a read request (8 bytes, function 3): every register 0.
// Empty for anything else.
inline Bytes ZeroReadReply(const uint8_t *request, size_t size)
{
    constexpr size_t kRequestSize = 8;
    constexpr uint8_t kReadHolding = 3;
    if (size != kRequestSize || request[1] != kReadHolding)
        return {};
    const uint8_t dataBytes = uint8_t(2 * request[5]);
    Bytes reply{request[0], kReadHolding, dataBytes};
    reply.resize(reply.size() + dataBytes, 0);
    return WithCrc(reply);
}
