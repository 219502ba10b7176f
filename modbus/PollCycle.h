#pragma once
// One step of the polling cycle and the PLC-CAN handshake, as plain functions over
// the caller's state, so the main window and the command line poll alike.
#include "modbus/RegisterMap.h"

#include <cstdint>

class TModbusMaster;

inline constexpr int kPollTickMs = 30;        // one step per tick
inline constexpr int kPollMaxWaitTicks = 20;  // ticks a request may wait for its reply

// What one step did.
enum class TPollStep {
    Sent,      // a read request went out
    Waiting,   // no complete, valid reply yet
    GaveUp,    // the 21st waiting tick, or an exception reply: the request goes out again on the next step
    Exchange,  // a reply is in; its registers are in the mirror and the next step sends again
};

// Which registers a poll reads, and the mirror word the first of them lands in.
struct TPollRead {
    int32_t First = kPollFirstRegister;
    int32_t Count = kPollRegisterCount;
    int32_t MirrorIndex = kPollFirstRegister;
};

// One tick of `master`: send when due, otherwise count the wait and look for the
// reply. sendPending and pollWaitTicks belong to the caller, which may show them.
TPollStep PollStep(TModbusMaster &master, bool &sendPending, int32_t &pollWaitTicks, const TPollRead &read = {});
// The same on the main window's master.
TPollStep PollStep(bool &sendPending, int32_t &pollWaitTicks, const TPollRead &read = {});

// Whether the mirror shows the module confirming PLC-CAN access.
bool CanUnlockConfirmed(const TModbusMaster &master);
bool CanUnlockConfirmed();

// The handshake after an exchange in PLC-CAN mode: true when the module has
// confirmed; otherwise the unlock pair is written (register 0, then 1, their
// results not looked at: the next exchange tells) and the answer is false.
bool CanHandshakeStep(TModbusMaster &master);
bool CanHandshakeStep();
