#pragma once
// What a trace decoder does: it follows one protocol on one line and says what
// each chunk is. A chunk may hold part of a frame, a frame and more, or noise;
// the decoder keeps what it needs of the exchange to tell.
#include "trace/TraceLine.h"

namespace talvex::trace {

class Decoder {
public:
    virtual ~Decoder() = default;
    // Fills text, failed, exchange and unansweredBefore of `line`, whose bytes are
    // the block handed to the port; `result` is what the send returned.
    virtual void Sent(int32_t result, TraceLine &line) = 0;
    // The same for a chunk received.
    virtual void Received(TraceLine &line) = 0;
};

}  // namespace talvex::trace
