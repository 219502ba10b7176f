#include "modbus/MODBUS_RTU.h"

#include "serial/Clock.h"
#include "serial/QRT_ComDrv.h"

#include <algorithm>
#include <cstdint>

uint16_t RegisterMirror[kMirrorWords];
uint16_t ExpectedBytes = 0;
bool ResponseOk = false;

namespace {

// Sized for the largest read the mirror can take.
uint16_t RegisterScratch[kMirrorWords];

TModbusLink Link;

constexpr uint8_t kDefaultStation = 1;
// Answer bytes 1 ... 5 carry function code, address and value.
constexpr size_t kEchoFirstCompared = 1;
constexpr size_t kEchoLastCompared = 5;
constexpr size_t kNowhere = SIZE_MAX;

struct MirrorInit {
    MirrorInit() { ResetRegisterMirror(); }
} mirrorInit;

// The read request in flight, which FetchRegisters looks for at the start of the buffer.
RequestFrame LastRead{};
bool ReadSent = false;

uint8_t ExceptionCode = 0;

// What the port has shown since it was opened.
struct EchoMemory {
    const TQRTCommDriver *Driver = nullptr;
    uint32_t Opening = 0;
    bool Shown = false;
} Echo;

// When the routines last saw the receive buffer grow: the end of a reply, or later.
uint16_t SeenCount = 0;
uint32_t SeenTick = 0;
bool SeenAny = false;

// Outcome of an attempt as far as the buffer shows it.
enum class TAnswer { Pending, Confirmed, Refused };

uint8_t CurrentStation()
{
    return static_cast<uint8_t>(Link.Station ? Link.Station() : kDefaultStation);
}

TLinkMode CurrentMode()
{
    return Link.Mode ? Link.Mode() : TLinkMode::PcUart;
}

size_t Received()
{
    return std::min<size_t>(Link.ComDriver->RxCount, TQRTCommDriver::kRxBufferSize);
}

// An owner that reads the line itself has these routines read it whenever they
// look, so that RxBuffer holds what a driver taking bytes on arrival would hold.
void TakeWhatWaits()
{
    if (Link.ComDriver && Link.ComDriver->OwnerReadInterval() != 0)
        Link.ComDriver->PollReceive();
}

// Bytes that came in since the last look arrived at the latest now.
void NoteArrivals()
{
    if (Link.ComDriver && Link.ComDriver->RxCount != SeenCount) {
        SeenCount = Link.ComDriver->RxCount;
        SeenTick = GetTickCount();
        SeenAny = true;
    }
}

// A half-duplex module may still drive the bus just after its reply.
void KeepInterFrameSilence()
{
    while (SeenAny && GetTickCount() - SeenTick < kInterFrameSilenceTicks)
        SleepMs(1);
}

void NoteEcho()
{
    if (Link.Echo == TEchoMode::Auto && Link.ComDriver)
        Echo = {Link.ComDriver, Link.ComDriver->OpenCount(), true};
}

// Whether the buffer begins with the exact bytes of `frame`: its echo.
bool BeginsWith(const RequestFrame &frame)
{
    if (Link.Echo == TEchoMode::Off || Received() < frame.size())
        return false;
    return std::equal(frame.begin(), frame.end(), Link.ComDriver->RxBuffer);
}

size_t Find(const uint8_t *bytes, size_t count, const RequestFrame &frame)
{
    const uint8_t *end = bytes + count;
    const uint8_t *at = std::search(bytes, end, frame.begin(), frame.end());
    return at == end ? kNowhere : static_cast<size_t>(at - bytes);
}

// A write's own answer: function code, address and value as sent, valid CRC.
bool IsWriteAnswer(const uint8_t *p, const RequestFrame &frame)
{
    return std::equal(p + kEchoFirstCompared, p + kEchoLastCompared + 1, frame.begin() + kEchoFirstCompared) &&
           CrcMatches(p, kRequestFrameSize);
}

bool IsException(const uint8_t *p, const RequestFrame &frame)
{
    return p[0] == frame[0] && p[1] == (frame[1] | kExceptionFlag) && CrcMatches(p, kExceptionFrameSize);
}

TAnswer Refuse(const uint8_t *exception)
{
    ExceptionCode = exception[2];
    return TAnswer::Refused;
}

TAnswer JudgeWrite(const RequestFrame &frame)
{
    const uint8_t *b = Link.ComDriver->RxBuffer;
    const size_t n = Received();
    size_t from = 0;
    if (PortEchoes()) {
        // The echo alone is not the module: its own reply must follow.
        const size_t echoAt = Find(b, n, frame);
        if (echoAt == kNowhere)
            return TAnswer::Pending;
        from = echoAt + kRequestFrameSize;
    } else if (Link.Echo == TEchoMode::Auto && BeginsWith(frame)) {
        // A copy of the request with the module's answer behind it shows an echo;
        // a lone copy cannot be told from the module's reply.
        const uint8_t *next = b + kRequestFrameSize;
        if ((n >= 2 * kRequestFrameSize && IsWriteAnswer(next, frame)) ||
            (n >= kRequestFrameSize + kExceptionFrameSize && IsException(next, frame))) {
            NoteEcho();
            from = kRequestFrameSize;
        }
    }
    const size_t left = n - from;
    const uint8_t *r = b + from;
    if (left >= kRequestFrameSize && IsWriteAnswer(r, frame))
        return TAnswer::Confirmed;
    if (left >= kExceptionFrameSize && IsException(r, frame))
        return Refuse(r);
    // Stray bytes before the answer: the addressed station's answer ends the buffer.
    if (left > kRequestFrameSize && b[n - kRequestFrameSize] == frame[0] &&
        IsWriteAnswer(b + n - kRequestFrameSize, frame))
        return TAnswer::Confirmed;
    if (left > kExceptionFrameSize && IsException(b + n - kExceptionFrameSize, frame))
        return Refuse(b + n - kExceptionFrameSize);
    // A whole frame that is not the answer: the module said something else.
    if (left >= kRequestFrameSize && CrcMatches(r, kRequestFrameSize))
        return TAnswer::Refused;
    return TAnswer::Pending;
}

// A read's reply of `words` registers ending the buffer; `at` is where it starts.
TAnswer JudgeRead(const RequestFrame &frame, size_t words, size_t &at)
{
    const uint8_t *b = Link.ComDriver->RxBuffer;
    const size_t n = Received();
    // A read reply never begins with its request's bytes: this is an echo.
    const size_t from = BeginsWith(frame) ? kRequestFrameSize : 0;
    if (from != 0)
        NoteEcho();
    const size_t length = kReadReplyOverhead + 2 * words;
    if (n >= from + length) {
        const uint8_t *r = b + n - length;
        if (r[0] == frame[0] && r[1] == frame[1] && r[2] == 2 * words && CrcMatches(r, length)) {
            at = n - length;
            return TAnswer::Confirmed;
        }
    }
    if (n >= from + kExceptionFrameSize && IsException(b + n - kExceptionFrameSize, frame))
        return Refuse(b + n - kExceptionFrameSize);
    // A whole frame of the reply's length that is not the reply.
    if (n == from + length && CrcMatches(b + from, length))
        return TAnswer::Refused;
    return TAnswer::Pending;
}

// Sends a request and gathers its answer from empty: what the line brought
// before the request is dropped with it.
void SendFresh(const RequestFrame &frame)
{
    if (!Link.ComDriver)
        return;
    TakeWhatWaits();
    NoteArrivals();
    KeepInterFrameSilence();
    Link.ComDriver->SendData(frame.data(), static_cast<int32_t>(frame.size()));
    Link.ComDriver->RxCount = 0;
    SeenCount = 0;
    ExceptionCode = 0;
}

// Polls every 2 ms while the answer is pending, up to `waits` times.
TAnswer AwaitAnswer(int waits, const std::function<TAnswer()> &judge)
{
    TQRTCommDriver &drv = *Link.ComDriver;
    TAnswer answer = judge();
    for (int waited = 0; answer == TAnswer::Pending && waited < waits; ++waited) {
        SleepMs(kEchoWaitMs);
        drv.PollReceive();
        NoteArrivals();
        answer = judge();
    }
    return answer;
}

}  // namespace

void SetModbusLink(TModbusLink link)
{
    // A new link learns its line afresh.
    Link = std::move(link);
    Echo = {};
    ReadSent = false;
    ExceptionCode = 0;
    SeenCount = Link.ComDriver ? Link.ComDriver->RxCount : 0;
    SeenAny = false;
}

bool PortEchoes()
{
    if (!Link.ComDriver)
        return false;
    switch (Link.Echo) {
    case TEchoMode::On:
        return true;
    case TEchoMode::Off:
        return false;
    case TEchoMode::Auto:
        break;
    }
    return Echo.Shown && Echo.Driver == Link.ComDriver && Echo.Opening == Link.ComDriver->OpenCount();
}

uint8_t LastExceptionCode()
{
    return ExceptionCode;
}

void ResetRegisterMirror()
{
    for (int i = 0; i < kMirrorWords; ++i)
        RegisterMirror[i] = static_cast<uint16_t>(i);
}

void SendReadRequest(int32_t address, int32_t count, uint8_t function)
{
    if (count < 1 || count > kMirrorWords)
        return;
    const RequestFrame frame = BuildRequest(CurrentStation(), function,
                                            WireAddress(static_cast<uint32_t>(address), CurrentMode()),
                                            static_cast<uint16_t>(count));
    SendFresh(frame);
    LastRead = frame;
    ReadSent = true;
    ExpectedBytes = static_cast<uint16_t>(2 * count);
}

void CheckReadResponse()
{
    ResponseOk = false;
    if (!Link.ComDriver)
        return;
    const TQRTCommDriver &drv = *Link.ComDriver;
    const size_t count = std::min<size_t>(drv.RxCount, TQRTCommDriver::kRxBufferSize);
    const size_t words = ExpectedBytes / 2;
    // The whole buffer must be one frame: a valid reply followed by a stray byte fails.
    if (count < kReadReplyOverhead + 2 * words || !CrcMatches(drv.RxBuffer, count))
        return;
    for (size_t i = 0; i < words && i < kMirrorWords; ++i)
        RegisterScratch[i] = GetWordBE(&drv.RxBuffer[3 + 2 * i]);
    ResponseOk = true;
}

bool FetchRegisters(int32_t index)
{
    if (!Link.ComDriver)
        return false;
    const int32_t words = ExpectedBytes / 2;
    if (index < 0 || index + words > kMirrorWords)
        return false;
    TakeWhatWaits();
    NoteArrivals();
    const bool echoed = ReadSent && BeginsWith(LastRead);
    // The buffer that is the reply and nothing else, judged by its CRC alone.
    if (!echoed && Link.ComDriver->RxCount >= ExpectedBytes + kReadReplyOverhead) {
        CheckReadResponse();
        if (ResponseOk) {
            std::copy_n(RegisterScratch, words, RegisterMirror + index);
            return true;
        }
    }
    size_t at = 0;
    if (!ReadSent || JudgeRead(LastRead, static_cast<size_t>(words), at) != TAnswer::Confirmed)
        return false;
    for (int32_t i = 0; i < words; ++i)
        RegisterScratch[i] = GetWordBE(&Link.ComDriver->RxBuffer[at + 3 + 2 * static_cast<size_t>(i)]);
    ResponseOk = true;
    std::copy_n(RegisterScratch, words, RegisterMirror + index);
    return true;
}

namespace {

RequestFrame WriteRequest(int32_t address, int32_t value, uint8_t function)
{
    return BuildRequest(CurrentStation(), function, WireAddress(static_cast<uint32_t>(address), CurrentMode()),
                        static_cast<uint16_t>(value));
}

// Whether the answer to the attempt before came during the rest after it. The
// module has then taken the write: sending it again would make it take it twice,
// and a commit code taken twice stays in its slot after the commit.
bool LateEchoArrived(const RequestFrame &frame)
{
    if (!Link.ComDriver)
        return false;
    Link.ComDriver->PollReceive();
    NoteArrivals();
    return JudgeWrite(frame) == TAnswer::Confirmed;
}

}  // namespace

bool WriteRegisterOnce(int32_t address, int32_t value, uint8_t function)
{
    const RequestFrame frame = WriteRequest(address, value, function);
    SendFresh(frame);
    if (!Link.ComDriver)
        return false;
    // Judge only bytes that arrived for this request: stale bytes beyond
    // RxCount belong to earlier traffic.
    return AwaitAnswer(kEchoWaits, [&] { return JudgeWrite(frame); }) == TAnswer::Confirmed;
}

bool WriteRegister(int32_t address, uint16_t value)
{
    const RequestFrame frame = WriteRequest(address, value, kFnWriteSingleRegister);
    for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
        if (attempt > 0 && LateEchoArrived(frame))
            return true;
        if (WriteRegisterOnce(address, value, kFnWriteSingleRegister))
            return true;
        SleepMs(kWriteRetryPauseMs);
    }
    // The last attempt's rest is looked at too: a write the module took late
    // is a write taken.
    return LateEchoArrived(frame);
}

bool ReadRegistersOnce(int32_t address, int32_t count, uint16_t *words, int replyWaits)
{
    if (count < 1 || count > kMirrorWords || words == nullptr)
        return false;
    const RequestFrame frame = BuildRequest(CurrentStation(), kFnReadHoldingRegisters,
                                            WireAddress(static_cast<uint32_t>(address), CurrentMode()),
                                            static_cast<uint16_t>(count));
    SendFresh(frame);
    if (!Link.ComDriver)
        return false;
    size_t at = 0;
    if (AwaitAnswer(replyWaits, [&] { return JudgeRead(frame, static_cast<size_t>(count), at); }) != TAnswer::Confirmed)
        return false;
    for (int32_t i = 0; i < count; ++i)
        words[i] = GetWordBE(&Link.ComDriver->RxBuffer[at + 3 + 2 * static_cast<size_t>(i)]);
    return true;
}
