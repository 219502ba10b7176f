#pragma once
// A listener on what a serial component sends and receives: the trace of the
// line. A component without one (the usual case) pays one pointer test per
// send and per read.
#include <cstdint>

class LineTap {
public:
    virtual ~LineTap() = default;
    // A block handed to SendData, and what SendData returned (the bytes sent, or
    // a negative count when the line took fewer).
    virtual void Sent(const uint8_t *data, int32_t count, int32_t result) = 0;
    // A chunk one read took from the line, before a protocol layer looked at it.
    virtual void Received(const uint8_t *data, int32_t count) = 0;
};
