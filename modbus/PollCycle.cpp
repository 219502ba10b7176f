#include "modbus/PollCycle.h"

#include "modbus/MODBUS_RTU.h"

TPollStep PollStep(TModbusMaster &master, bool &sendPending, int32_t &pollWaitTicks, const TPollRead &read)
{
    if (sendPending) {
        master.SendReadRequest(read.First, read.Count, kFnReadHoldingRegisters);
        sendPending = false;
        pollWaitTicks = 0;
        return TPollStep::Sent;
    }
    if (++pollWaitTicks > kPollMaxWaitTicks) {
        sendPending = true;
        return TPollStep::GaveUp;
    }
    if (!master.FetchRegisters(read.MirrorIndex)) {
        // An exception reply ends the wait: the request goes out again at once.
        if (master.LastExceptionCode() == 0)
            return TPollStep::Waiting;
        sendPending = true;
        return TPollStep::GaveUp;
    }
    sendPending = true;
    return TPollStep::Exchange;
}

TPollStep PollStep(bool &sendPending, int32_t &pollWaitTicks, const TPollRead &read)
{
    return PollStep(MainModbusMaster(), sendPending, pollWaitTicks, read);
}

bool CanUnlockConfirmed(const TModbusMaster &master)
{
    return master.Mirror()[Reg::CAN_Unlocked] == kCanUnlockedMarker;
}

bool CanUnlockConfirmed()
{
    return CanUnlockConfirmed(MainModbusMaster());
}

bool CanHandshakeStep(TModbusMaster &master)
{
    if (CanUnlockConfirmed(master))
        return true;
    master.WriteRegister(Reg::AD_Val0, kCanUnlockWord0);
    master.WriteRegister(Reg::AD_Val0 + 1, kCanUnlockWord1);
    return false;
}

bool CanHandshakeStep()
{
    return CanHandshakeStep(MainModbusMaster());
}
