#pragma once
// The tap a serial component's trace hangs on: each send and each chunk received
// becomes a TraceLine, stamped and described by the decoder of the line's
// protocol, and handed to a sink (a file, the trace window).
#include "serial/LineTap.h"
#include "trace/Decoder.h"
#include "trace/TraceLine.h"

#include <chrono>
#include <functional>
#include <memory>

namespace talvex::trace {

class LineTracer : public LineTap {
public:
    using Sink = std::function<void(const TraceLine &)>;
    using TimePoint = std::chrono::steady_clock::time_point;

    // Times are taken from `start` on; tracers of one program share it, so
    // their lines interleave in time.
    LineTracer(std::unique_ptr<Decoder> decoder, Sink sink, TimePoint start = std::chrono::steady_clock::now());

    void Sent(const uint8_t *data, int32_t count, int32_t result) override;
    void Received(const uint8_t *data, int32_t count) override;

private:
    TraceLine stamped(Direction direction, const uint8_t *data, int32_t count);

    std::unique_ptr<Decoder> decoder_;
    Sink sink_;
    TimePoint start_;
    double lastMs_ = -1;
};

std::unique_ptr<Decoder> MakeModbusDecoder();
std::unique_ptr<Decoder> MakeBootDecoder();

}  // namespace talvex::trace
