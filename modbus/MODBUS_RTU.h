#pragma once
#include "modbus/Frames.h"

#include <cstdint>
#include <functional>

class TQRTCommDriver;

inline constexpr int kMirrorWords = 101;

// Write transaction timing: up to 25 waits of 2 ms for the echo, six attempts,
// 100 ms of rest after each failed one. The echo is judged whole: all 8 bytes
// and their CRC.
inline constexpr int kEchoWaits = 25;
inline constexpr uint32_t kEchoWaitMs = 2;
inline constexpr int kWriteAttempts = 6;
inline constexpr uint32_t kWriteRetryPauseMs = 100;
// A read that waits for its reply polls as the echo wait does, up to 50 times:
// room for a whole 101-register reply at 57600 baud and a gateway's delay.
inline constexpr int kReadReplyWaits = 50;

// Modbus RTU wants 1.75 ms of silence between frames above 19200 baud. The end
// of a reply is known to the millisecond tick: three ticks apart is at least 2 ms.
inline constexpr uint32_t kInterFrameSilenceTicks = 3;

// Whether the line hands the tool's own request back before the module's reply,
// as a 2-wire RS-485 adapter that hears itself does. Auto learns it per open
// port: a receive buffer that begins with the request just sent shows an echo.
enum class TEchoMode { Auto, On, Off };

// Where the routines send and what they address. Station and mode are asked
// for every frame, so a change in the window acts from the next request.
struct TModbusLink {
    TQRTCommDriver *ComDriver = nullptr;
    std::function<int()> Station;  // 1 ... 99
    std::function<TLinkMode()> Mode;
    TEchoMode Echo = TEchoMode::Auto;
};
void SetModbusLink(TModbusLink link);

// Whether the port counts as echoing now: echo on, or auto and the port has
// shown an echo since it was opened. A write to an echoing port is confirmed
// only by the echo followed by the module's own reply.
bool PortEchoes();
// The exception code of the reply to the last request (function | 0x80 from the
// addressed station, valid CRC), 0 when there was none. Such a reply ends the
// attempt at once.
uint8_t LastExceptionCode();

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
// read first. An index whose words would not fit is refused. Besides a buffer
// that is the reply and nothing else, a reply from this station to function 3
// with the expected byte count and a valid CRC is taken where it ends the
// buffer, whatever precedes it (the request's echo, stray bytes).
bool FetchRegisters(int32_t index);
// One write with echo check. Succeeds on a whole 8-byte answer whose function
// code, address and value equal the request's and whose CRC is valid: at the
// start of the buffer, after the adapter's echo on an echoing port, or ending
// the buffer behind stray bytes.
bool WriteRegisterOnce(int32_t address, int32_t value, uint8_t function);
// WriteRegisterOnce with function 6, up to six attempts. An echo of the attempt
// before that has come in during the rest after it confirms the write instead of
// a further attempt; so does one that came in the rest after the sixth.
bool WriteRegister(int32_t address, uint16_t value);
// One read that waits for its reply, as a write waits for its echo, and leaves
// the mirror alone: `words` receives `count` registers from `address`. True only
// for a reply from this station, to function 3, of the expected length and with
// a valid CRC, that ends the buffer. Empties the receive buffer like a write.
// `replyWaits`: how many waits of kEchoWaitMs the reply may take.
bool ReadRegistersOnce(int32_t address, int32_t count, uint16_t *words, int replyWaits = kReadReplyWaits);
