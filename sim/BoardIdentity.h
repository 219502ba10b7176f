#pragma once
// Which board sits on the fixture: its chip's 96-bit unique ID as text and the
// ID a fresh board brings, and the firmware a board from stock carries.
#include "sim/bootloader/Stm32MemoryMap.h"

#include <cstdint>
#include <string>

namespace talvex::sim {

// 24 hex digits (either case), in the order a Read Memory hands the bytes out.
bool ParseUniqueId(const std::string &text, stm32::UniqueId &id);
// 24 upper-case hex digits, as the tool records them.
std::string UniqueIdText(const stm32::UniqueId &id);
// The ID after `id`, read as one big-endian number: each board put on the
// fixture without an ID of its own differs from the one before.
stm32::UniqueId NextUniqueId(const stm32::UniqueId &id);
// A board from stock carries firmware older than the image the tool writes.
uint16_t StockFirmwareVersion(uint16_t imageVersion);

}  // namespace talvex::sim
