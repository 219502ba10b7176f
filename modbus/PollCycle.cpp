#include "modbus/PollCycle.h"

#include "modbus/MODBUS_RTU.h"

TPollStep PollStep(bool &sendPending, int32_t &pollWaitTicks, const TPollRead &read)
{
    if (sendPending) {
        SendReadRequest(read.First, read.Count, kFnReadHoldingRegisters);
        sendPending = false;
        pollWaitTicks = 0;
        return TPollStep::Sent;
    }
    if (++pollWaitTicks > kPollMaxWaitTicks) {
        sendPending = true;
        return TPollStep::GaveUp;
    }
    if (!FetchRegisters(read.MirrorIndex)) {
        // An exception reply ends the wait: the request goes out again at once.
        if (LastExceptionCode() == 0)
            return TPollStep::Waiting;
        sendPending = true;
        return TPollStep::GaveUp;
    }
    sendPending = true;
    return TPollStep::Exchange;
}

bool CanUnlockConfirmed()
{
    return RegisterMirror[Reg::CAN_Unlocked] == kCanUnlockedMarker;
}

bool CanHandshakeStep()
{
    if (CanUnlockConfirmed())
        return true;
    WriteRegister(Reg::AD_Val0, kCanUnlockWord0);
    WriteRegister(Reg::AD_Val0 + 1, kCanUnlockWord1);
    return false;
}
