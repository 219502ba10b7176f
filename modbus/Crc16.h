#pragma once
#include <cstddef>
#include <cstdint>

// CRC-16 of Modbus RTU: reflected polynomial 0xA001, initial value 0xFFFF,
// no final XOR. On the wire the low byte goes first, then the high byte.
uint16_t CalcCrc16(const uint8_t *bytes, size_t length);
