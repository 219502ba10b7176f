#pragma once
// A Modbus RTU master on one link: the serial component it sends through, the
// station and mode it addresses, what it has learnt of the line's echo, the read
// in flight and the register mirror its reads fill. Nothing is shared between two
// masters, so a process can talk to as many modules as it has ports.
#include "modbus/Frames.h"

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

class TQRTCommDriver;

// The mirror of the module's registers 0 ... 100, and the most registers one read takes.
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

// Where a master sends and what it addresses. Station and mode are asked for
// every frame, so a change in the window acts from the next request.
struct TModbusLink {
    TQRTCommDriver *ComDriver = nullptr;
    std::function<int()> Station;  // 1 ... 99; 1 when not given
    std::function<TLinkMode()> Mode;
    TEchoMode Echo = TEchoMode::Auto;
};

// The same link with a fixed station and mode, as the command line and the
// station address the module of one port.
TModbusLink FixedModbusLink(TQRTCommDriver &driver, int station, TLinkMode mode, TEchoMode echo);

class TModbusMaster {
public:
    // A master whose mirror covers register numbers 0 ... mirrorWords - 1.
    explicit TModbusMaster(size_t mirrorWords = kMirrorWords);
    // A master that fills `mirror`, which its owner keeps (the main window's RegisterMirror).
    explicit TModbusMaster(std::span<uint16_t> mirror);
    TModbusMaster(const TModbusMaster &) = delete;
    TModbusMaster &operator=(const TModbusMaster &) = delete;

    // A new link learns its line afresh; no link sends nothing and reads nothing.
    void SetLink(TModbusLink link);
    const TModbusLink &Link() const { return link_; }

    // Whether the port counts as echoing now: echo on, or auto and the port has
    // shown an echo since it was opened. A write to an echoing port is confirmed
    // only by the echo followed by the module's own reply.
    bool PortEchoes() const;
    // The exception code of the reply to the last request (function | 0x80 from the
    // addressed station, valid CRC), 0 when there was none. Such a reply ends the
    // attempt at once.
    uint8_t LastExceptionCode() const { return exceptionCode_; }

    // Registers as last read, indexed by register number. Words no read has
    // covered hold their own index, so they are recognisable.
    std::span<const uint16_t> Mirror() const { return mirror_; }
    std::span<uint16_t> Mirror() { return mirror_; }
    void ResetMirror();

    // Register data bytes the pending read expects (2 x count); 0 at start.
    uint16_t ExpectedBytes = 0;
    // Outcome of the last CheckReadResponse.
    bool ResponseOk = false;

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

private:
    // Outcome of an attempt as far as the buffer shows it.
    enum class TAnswer { Pending, Confirmed, Refused };

    uint8_t CurrentStation() const;
    TLinkMode CurrentMode() const;
    RequestFrame Request(uint8_t function, int32_t address, int32_t second) const;
    size_t Received() const;
    void TakeWhatWaits();
    void NoteArrivals();
    void KeepInterFrameSilence();
    void NoteEcho();
    bool BeginsWith(const RequestFrame &frame) const;
    TAnswer Refuse(const uint8_t *exception);
    TAnswer JudgeWrite(const RequestFrame &frame);
    TAnswer JudgeRead(const RequestFrame &frame, size_t words, size_t &at);
    // The `words` registers of the reply that starts at byte `at` of the receive
    // buffer, which the caller has judged whole, into `into`.
    void Unpack(size_t at, size_t words, uint16_t *into) const;
    void SendFresh(const RequestFrame &frame);
    TAnswer AwaitAnswer(int waits, const std::function<TAnswer()> &judge);
    bool LateEchoArrived(const RequestFrame &frame);

    TModbusLink link_;
    std::vector<uint16_t> ownMirror_;
    std::span<uint16_t> mirror_;
    // Sized for the largest read the mirror bounds.
    uint16_t scratch_[kMirrorWords] = {};

    // The read request in flight, which FetchRegisters looks for at the start of the buffer.
    RequestFrame lastRead_{};
    bool readSent_ = false;
    uint8_t exceptionCode_ = 0;

    // What the port has shown since it was opened.
    struct EchoMemory {
        const TQRTCommDriver *Driver = nullptr;
        uint32_t Opening = 0;
        bool Shown = false;
    } echo_;

    // When the master last saw the receive buffer grow: the end of a reply, or later.
    uint16_t seenCount_ = 0;
    uint32_t seenTick_ = 0;
    bool seenAny_ = false;
};
