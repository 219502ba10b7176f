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
