#pragma once
#include <cstdint>

namespace talvex::sim {

// What a Modbus request reaches: a serial port of the module itself, or the
// PLC gateway in front of it. The Modbus personality only frames and answers.
class ModbusTarget {
public:
    virtual ~ModbusTarget() = default;
    virtual bool answers(uint8_t station) const = 0;
    // Who takes a request to `station`: this target if it answers, or, on a
    // line of several modules, the one whose station it is; null for silence.
    virtual ModbusTarget *forStation(uint8_t station) { return answers(station) ? this : nullptr; }
    virtual uint16_t read(uint32_t address) = 0;
    virtual void write(uint32_t address, uint16_t value) = 0;
    // A reply left on the line (counted when its bytes are written, not when built).
    virtual void replySent() = 0;
};

}  // namespace talvex::sim
