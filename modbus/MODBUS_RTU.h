#pragma once
#include "Frames.h"

#include <cstdint>
#include <functional>

class TQRTCommDriver;

inline constexpr int kMirrorWords = 101;

// Write transaction timing: up to 25 waits of 2 ms for the echo, six attempts,
// 100 ms of rest after each failed one.
inline constexpr int kEchoWaits = 25;
inline constexpr uint32_t kEchoWaitMs = 2;
inline constexpr int kEchoBytesAwaited = 6;
inline constexpr int kWriteAttempts = 6;
inline constexpr uint32_t kWriteRetryPauseMs = 100;
// A read that waits for its reply polls as the echo wait does, up to 50 times:
// room for a whole 101-register reply at 57600 baud and a gateway's delay.
inline constexpr int kReadReplyWaits = 50;

// Where the routines send and what they address. Station and mode are asked
// for every frame, so a change in the window acts from the next request.
struct TModbusLink {
    TQRTCommDriver *ComDriver = nullptr;
    std::function<int()> Station;  // 1 ... 99
    std::function<TLinkMode()> Mode;
};
void SetModbusLink(TModbusLink link);

// Registers as last read, indexed by register number. Words no read has
// covered hold their own index, so they are recognisable.
extern uint16_t RegisterMirror[kMirrorWords];
void ResetRegisterMirror();

// Register data bytes the pending read expects (2 x count); 0 at start.
extern uint16_t ExpectedBytes;
// Outcome of the last CheckReadResponse.
extern bool ResponseOk;

// Sends a read request and empties the receive buffer. A count outside
// 1 ... kMirrorWords is refused: nothing is sent.
void SendReadRequest(int32_t address, int32_t count, uint8_t function);
// Tests the CRC over everything received and unpacks the registers.
void CheckReadResponse();
// True once a complete, valid reply is in; its registers are then in the
// mirror from word `index` on. A driver whose owner reads the line itself is
// read first. An index whose words would not fit is refused.
bool FetchRegisters(int32_t index);
// One write with echo check. Succeeds only on an echo of at least 6 bytes whose
// function code, address and value equal the request's.
bool WriteRegisterOnce(int32_t address, int32_t value, uint8_t function);
// WriteRegisterOnce with function 6, up to six attempts. An echo of the attempt
// before that has come in during the rest after it confirms the write instead of
// a further attempt.
bool WriteRegister(int32_t address, uint16_t value);
// One read that waits for its reply, as a write waits for its echo, and leaves
// the mirror alone: `words` receives `count` registers from `address`. True only
// for a reply from this station, to function 3, of exactly the expected length
// and with a valid CRC. Empties the receive buffer like a write. `replyWaits`:
// how many waits of kEchoWaitMs the reply may take.
bool ReadRegistersOnce(int32_t address, int32_t count, uint16_t *words, int replyWaits = kReadReplyWaits);
