#include "station/BoardProbe.h"

#include "firmware/stm32/Stm32Protocol.h"

RequestFrame ProbeRequest()
{
    return BuildRequest(kProbeStation, kFnReadHoldingRegisters, kProbeFirstRegister, kProbeRegisterCount);
}

bool ProbeReplyIn(const uint8_t *bytes, size_t count, uint16_t *words)
{
    if (!bytes || count < kProbeReplyBytes)
        return false;
    const uint8_t *reply = bytes + (count - kProbeReplyBytes);
    if (reply[0] != kProbeStation || reply[1] != kFnReadHoldingRegisters || reply[2] != 2 * kProbeRegisterCount ||
        !CrcMatches(reply, kProbeReplyBytes))
        return false;
    for (size_t i = 0; words && i < kProbeRegisterCount; ++i)
        words[i] = GetWordBE(reply + 3 + 2 * i);
    return true;
}

bool SyncAnswerIn(const uint8_t *bytes, size_t count)
{
    for (size_t i = 0; bytes && i < count; ++i)
        if (bytes[i] == stm32::kAck || bytes[i] == stm32::kNack)
            return true;
    return false;
}
