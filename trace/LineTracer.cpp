#include "trace/LineTracer.h"

#include "trace/BootDecoder.h"
#include "trace/ModbusDecoder.h"

namespace talvex::trace {

LineTracer::LineTracer(std::unique_ptr<Decoder> decoder, Sink sink, TimePoint start)
    : decoder_(std::move(decoder)), sink_(std::move(sink)), start_(start)
{
}

TraceLine LineTracer::stamped(Direction direction, const uint8_t *data, int32_t count)
{
    TraceLine line;
    line.timeMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
    line.silenceMs = lastMs_ < 0 ? -1 : line.timeMs - lastMs_;
    lastMs_ = line.timeMs;
    line.direction = direction;
    line.bytes.assign(data, data + count);
    return line;
}

void LineTracer::Sent(const uint8_t *data, int32_t count, int32_t result)
{
    TraceLine line = stamped(Direction::Tx, data, count);
    decoder_->Sent(result, line);
    if (sink_)
        sink_(line);
}

void LineTracer::Received(const uint8_t *data, int32_t count)
{
    TraceLine line = stamped(Direction::Rx, data, count);
    decoder_->Received(line);
    if (sink_)
        sink_(line);
}

std::unique_ptr<Decoder> MakeModbusDecoder()
{
    return std::make_unique<ModbusDecoder>();
}

std::unique_ptr<Decoder> MakeBootDecoder()
{
    return std::make_unique<BootDecoder>();
}

}  // namespace talvex::trace
