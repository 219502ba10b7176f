#pragma once
// Whether a board sits on a slot's fixture: the question a slot asks its line
// between boards, and how an answer is judged. A board answers either as the
// module on its fixed port (57600 8E1, station 1: a read of the first
// registers) or as a chip in its serial bootloader (the sync byte acknowledged).
// Plain bytes in and out; the slot carries them.
#include "modbus/Frames.h"

#include <array>
#include <cstddef>
#include <cstdint>

// The fixed port's station and the block the probe reads (registers 0 ... 31,
// which hold the settings and the firmware version).
inline constexpr uint8_t kProbeStation = 1;
inline constexpr uint16_t kProbeFirstRegister = 0;
inline constexpr uint16_t kProbeRegisterCount = 32;
inline constexpr size_t kProbeReplyBytes = kReadReplyOverhead + 2 * kProbeRegisterCount;
// The registers a probe's reply carries.
using TProbeWords = std::array<uint16_t, kProbeRegisterCount>;

// The read request the probe sends at the module's line.
RequestFrame ProbeRequest();

// True when the last kProbeReplyBytes of `bytes` are the reply to ProbeRequest()
// (station, function, byte count, valid CRC): an adapter's echo or stray bytes
// before it do not matter. `words` (kProbeRegisterCount of them), if given, gets
// the registers.
bool ProbeReplyIn(const uint8_t *bytes, size_t count, uint16_t *words = nullptr);

// True when a chip answered the sync byte: an ACK, or a NACK from a chip that
// was synchronised already (it takes the byte as a bad command).
bool SyncAnswerIn(const uint8_t *bytes, size_t count);
