#pragma once
// Says what each chunk on a Modbus RTU line is: a request (station, function,
// address and count or value), the adapter's echo of it, stray bytes, a reply
// with its CRC judged, an exception with its name. The reply is looked for
// behind the echo and any noise, as the master itself takes it.
#include "trace/Decoder.h"

#include <cstddef>
#include <vector>

namespace talvex::trace {

class ModbusDecoder : public Decoder {
public:
    // Bytes received for one request beyond which the rest counts as stray
    // without being kept: no reply of this master is longer than 5 + 2 x 101.
    static constexpr size_t kMaxHeld = 1024;

    void Sent(int32_t result, TraceLine &line) override;
    void Received(TraceLine &line) override;

private:
    // Where the parts of what came in since the request lie, as offsets into rx_.
    struct Parts {
        size_t echoEnd = 0;     // [0, echoEnd): the request handed back
        size_t frameStart = 0;  // [echoEnd, frameStart): stray bytes
        size_t frameEnd = 0;    // [frameStart, frameEnd): the reply, maybe not whole yet
        size_t frameSize = 0;   // the reply's length once its header is in, else 0
        bool exception = false;
    };
    Parts split() const;
    std::string describeFrame(size_t start) const;

    std::vector<uint8_t> request_;  // the last request, or empty after other bytes
    std::vector<uint8_t> rx_;       // what came in since it
    bool answered_ = true;          // a whole reply with a good CRC came in
    bool lineEchoes_ = false;       // a read's reply was seen behind the request's copy
    uint64_t exchange_ = 0;
};

}  // namespace talvex::trace
