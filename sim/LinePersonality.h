#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace talvex::sim {

class FrameLog;

// One answer to put on the line; `sent` runs once its bytes have been written.
struct LineReply {
    std::vector<uint8_t> bytes;
    std::function<void()> sent;
    uint64_t delayUs = 0;  // how long after the request it leaves (line and chip time)
};

// What the module is to the line at a given speed. The Modbus service at 57600
// is one; the microcontroller's serial bootloader at 115200 is another. The
// simulator hands the bytes to the personality whose speed the tool set.
class LinePersonality {
public:
    virtual ~LinePersonality() = default;
    virtual const char *name() const = 0;
    virtual uint32_t lineSpeed() const = 0;
    // Whether it takes the line at `speed`.
    virtual bool runsAt(uint32_t speed) const { return speed == lineSpeed(); }
    // Bytes as they came off the line; whole answers go to `out`.
    virtual void receive(const uint8_t *data, size_t size, uint64_t nowMs, std::vector<LineReply> &out) = 0;
    // The same with the arrival in microseconds, for a personality that paces its
    // answers to the line; the others see whole milliseconds.
    virtual void receiveAt(const uint8_t *data, size_t size, uint64_t nowUs, std::vector<LineReply> &out)
    {
        receive(data, size, nowUs / 1000, out);
    }
    // Called between arrivals so time-outs can act without new bytes.
    virtual void idle(uint64_t nowMs) = 0;
    // The line changed hands (another personality took it, or a restart): forget partial input.
    virtual void reset() = 0;
};

}  // namespace talvex::sim
