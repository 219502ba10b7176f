#include "modbus/ModbusMaster.h"

#include "serial/Clock.h"
#include "serial/QRT_ComDrv.h"

#include <algorithm>
#include <cstdint>

namespace {

constexpr uint8_t kDefaultStation = 1;
// Answer bytes 1 ... 5 carry function code, address and value.
constexpr size_t kEchoFirstCompared = 1;
constexpr size_t kEchoLastCompared = 5;
// A read reply's registers follow station, function and byte count.
constexpr size_t kReplyDataOffset = 3;
constexpr size_t kNowhere = SIZE_MAX;

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

}  // namespace

TModbusLink FixedModbusLink(TQRTCommDriver &driver, int station, TLinkMode mode, TEchoMode echo)
{
    return {&driver, [station] { return station; }, [mode] { return mode; }, echo};
}

TModbusMaster::TModbusMaster(size_t mirrorWords) : ownMirror_(mirrorWords), mirror_(ownMirror_)
{
    ResetMirror();
}

TModbusMaster::TModbusMaster(std::span<uint16_t> mirror) : mirror_(mirror)
{
    ResetMirror();
}

void TModbusMaster::SetLink(TModbusLink link)
{
    // A new link learns its line afresh.
    link_ = std::move(link);
    echo_ = {};
    readSent_ = false;
    exceptionCode_ = 0;
    seenCount_ = link_.ComDriver ? link_.ComDriver->RxCount : 0;
    seenAny_ = false;
}

bool TModbusMaster::PortEchoes() const
{
    if (!link_.ComDriver)
        return false;
    switch (link_.Echo) {
    case TEchoMode::On:
        return true;
    case TEchoMode::Off:
        return false;
    case TEchoMode::Auto:
        break;
    }
    return echo_.Shown && echo_.Driver == link_.ComDriver && echo_.Opening == link_.ComDriver->OpenCount();
}

void TModbusMaster::ResetMirror()
{
    for (size_t i = 0; i < mirror_.size(); ++i)
        mirror_[i] = static_cast<uint16_t>(i);
}

uint8_t TModbusMaster::CurrentStation() const
{
    return static_cast<uint8_t>(link_.Station ? link_.Station() : kDefaultStation);
}

TLinkMode TModbusMaster::CurrentMode() const
{
    return link_.Mode ? link_.Mode() : TLinkMode::PcUart;
}

RequestFrame TModbusMaster::Request(uint8_t function, int32_t address, int32_t second) const
{
    return BuildRequest(CurrentStation(), function, WireAddress(static_cast<uint32_t>(address), CurrentMode()),
                        static_cast<uint16_t>(second));
}

size_t TModbusMaster::Received() const
{
    return std::min<size_t>(link_.ComDriver->RxCount, TQRTCommDriver::kRxBufferSize);
}

// An owner that reads the line itself has the master read it whenever it
// looks, so that RxBuffer holds what a driver taking bytes on arrival would hold.
void TModbusMaster::TakeWhatWaits()
{
    if (link_.ComDriver && link_.ComDriver->OwnerReadInterval() != 0)
        link_.ComDriver->PollReceive();
}

// Bytes that came in since the last look arrived at the latest now.
void TModbusMaster::NoteArrivals()
{
    if (link_.ComDriver && link_.ComDriver->RxCount != seenCount_) {
        seenCount_ = link_.ComDriver->RxCount;
        seenTick_ = GetTickCount();
        seenAny_ = true;
    }
}

// A half-duplex module may still drive the bus just after its reply.
void TModbusMaster::KeepInterFrameSilence()
{
    while (seenAny_ && GetTickCount() - seenTick_ < kInterFrameSilenceTicks)
        SleepMs(1);
}

void TModbusMaster::NoteEcho()
{
    if (link_.Echo == TEchoMode::Auto && link_.ComDriver)
        echo_ = {link_.ComDriver, link_.ComDriver->OpenCount(), true};
}

// Whether the buffer begins with the exact bytes of `frame`: its echo.
bool TModbusMaster::BeginsWith(const RequestFrame &frame) const
{
    if (link_.Echo == TEchoMode::Off || Received() < frame.size())
        return false;
    return std::equal(frame.begin(), frame.end(), link_.ComDriver->RxBuffer);
}

TModbusMaster::TAnswer TModbusMaster::Refuse(const uint8_t *exception)
{
    exceptionCode_ = exception[2];
    return TAnswer::Refused;
}

TModbusMaster::TAnswer TModbusMaster::JudgeWrite(const RequestFrame &frame)
{
    const uint8_t *b = link_.ComDriver->RxBuffer;
    const size_t n = Received();
    size_t from = 0;
    if (PortEchoes()) {
        // The echo alone is not the module: its own reply must follow.
        const size_t echoAt = Find(b, n, frame);
        if (echoAt == kNowhere)
            return TAnswer::Pending;
        from = echoAt + kRequestFrameSize;
    } else if (link_.Echo == TEchoMode::Auto && BeginsWith(frame)) {
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
TModbusMaster::TAnswer TModbusMaster::JudgeRead(const RequestFrame &frame, size_t words, size_t &at)
{
    const uint8_t *b = link_.ComDriver->RxBuffer;
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

void TModbusMaster::Unpack(size_t at, size_t words, uint16_t *into) const
{
    // Callers judged a whole reply there; the bound keeps a careless one inside the buffer.
    const size_t first = at + kReplyDataOffset;
    const size_t buffer = TQRTCommDriver::kRxBufferSize;
    const size_t fit = first < buffer ? (buffer - first) / 2 : 0;
    const uint8_t *data = link_.ComDriver->RxBuffer + std::min(first, buffer);
    for (size_t i = 0; i < std::min(words, fit); ++i)
        into[i] = GetWordBE(data + 2 * i);
}

// Sends a request and gathers its answer from empty: what the line brought
// before the request is dropped with it.
void TModbusMaster::SendFresh(const RequestFrame &frame)
{
    if (!link_.ComDriver)
        return;
    TakeWhatWaits();
    NoteArrivals();
    KeepInterFrameSilence();
    link_.ComDriver->SendData(frame.data(), static_cast<int32_t>(frame.size()));
    link_.ComDriver->RxCount = 0;
    seenCount_ = 0;
    exceptionCode_ = 0;
}

// Polls every 2 ms while the answer is pending, up to `waits` times.
TModbusMaster::TAnswer TModbusMaster::AwaitAnswer(int waits, const std::function<TAnswer()> &judge)
{
    TQRTCommDriver &drv = *link_.ComDriver;
    TAnswer answer = judge();
    for (int waited = 0; answer == TAnswer::Pending && waited < waits; ++waited) {
        SleepMs(kEchoWaitMs);
        drv.PollReceive();
        NoteArrivals();
        answer = judge();
    }
    return answer;
}

void TModbusMaster::SendReadRequest(int32_t address, int32_t count, uint8_t function)
{
    if (count < 1 || count > kMirrorWords)
        return;
    const RequestFrame frame = Request(function, address, count);
    SendFresh(frame);
    lastRead_ = frame;
    readSent_ = true;
    ExpectedBytes = static_cast<uint16_t>(2 * count);
}

void TModbusMaster::CheckReadResponse()
{
    ResponseOk = false;
    if (!link_.ComDriver)
        return;
    const size_t count = Received();
    const size_t words = ExpectedBytes / 2;
    // The whole buffer must be one frame: a valid reply followed by a stray byte fails.
    if (count < kReadReplyOverhead + 2 * words || !CrcMatches(link_.ComDriver->RxBuffer, count))
        return;
    Unpack(0, std::min<size_t>(words, kMirrorWords), scratch_);
    ResponseOk = true;
}

bool TModbusMaster::FetchRegisters(int32_t index)
{
    if (!link_.ComDriver)
        return false;
    const int32_t words = ExpectedBytes / 2;
    if (words > kMirrorWords || index < 0 || static_cast<size_t>(index) + static_cast<size_t>(words) > mirror_.size())
        return false;
    TakeWhatWaits();
    NoteArrivals();
    const bool echoed = readSent_ && BeginsWith(lastRead_);
    // The buffer that is the reply and nothing else, judged by its CRC alone.
    if (!echoed && link_.ComDriver->RxCount >= ExpectedBytes + kReadReplyOverhead) {
        CheckReadResponse();
        if (ResponseOk) {
            std::copy_n(scratch_, words, mirror_.begin() + index);
            return true;
        }
    }
    size_t at = 0;
    if (!readSent_ || JudgeRead(lastRead_, static_cast<size_t>(words), at) != TAnswer::Confirmed)
        return false;
    Unpack(at, static_cast<size_t>(words), scratch_);
    ResponseOk = true;
    std::copy_n(scratch_, words, mirror_.begin() + index);
    return true;
}

// Whether the answer to the attempt before came during the rest after it. The
// module has then taken the write: sending it again would make it take it twice,
// and a commit code taken twice stays in its slot after the commit.
bool TModbusMaster::LateEchoArrived(const RequestFrame &frame)
{
    if (!link_.ComDriver)
        return false;
    link_.ComDriver->PollReceive();
    NoteArrivals();
    return JudgeWrite(frame) == TAnswer::Confirmed;
}

bool TModbusMaster::WriteRegisterOnce(int32_t address, int32_t value, uint8_t function)
{
    const RequestFrame frame = Request(function, address, value);
    SendFresh(frame);
    if (!link_.ComDriver)
        return false;
    // Judge only bytes that arrived for this request: stale bytes beyond
    // RxCount belong to earlier traffic.
    return AwaitAnswer(kEchoWaits, [&] { return JudgeWrite(frame); }) == TAnswer::Confirmed;
}

bool TModbusMaster::WriteRegister(int32_t address, uint16_t value)
{
    const RequestFrame frame = Request(kFnWriteSingleRegister, address, value);
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

bool TModbusMaster::ReadRegistersOnce(int32_t address, int32_t count, uint16_t *words, int replyWaits)
{
    if (count < 1 || count > kMirrorWords || words == nullptr)
        return false;
    const RequestFrame frame = Request(kFnReadHoldingRegisters, address, count);
    SendFresh(frame);
    if (!link_.ComDriver)
        return false;
    size_t at = 0;
    if (AwaitAnswer(replyWaits, [&] { return JudgeRead(frame, static_cast<size_t>(count), at); }) != TAnswer::Confirmed)
        return false;
    Unpack(at, static_cast<size_t>(count), words);
    return true;
}
