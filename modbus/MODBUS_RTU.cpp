#include "MODBUS_RTU.h"

#include "Clock.h"
#include "QRT_ComDrv.h"

#include <algorithm>

uint16_t RegisterMirror[kMirrorWords];
uint16_t ExpectedBytes = 0;
bool ResponseOk = false;

namespace {

// Sized for the largest read the mirror can take.
uint16_t RegisterScratch[kMirrorWords];

TModbusLink Link;

constexpr uint8_t kDefaultStation = 1;
// Echo bytes 1 ... 5 carry function code, address and value.
constexpr int kEchoFirstCompared = 1;
constexpr int kEchoLastCompared = 5;

struct MirrorInit {
    MirrorInit() { ResetRegisterMirror(); }
} mirrorInit;

uint8_t CurrentStation()
{
    return static_cast<uint8_t>(Link.Station ? Link.Station() : kDefaultStation);
}

TLinkMode CurrentMode()
{
    return Link.Mode ? Link.Mode() : TLinkMode::PcUart;
}

// An owner that reads the line itself has these routines read it whenever they
// look, so that RxBuffer holds what a driver taking bytes on arrival would hold.
void TakeWhatWaits()
{
    if (Link.ComDriver && Link.ComDriver->OwnerReadInterval() != 0)
        Link.ComDriver->PollReceive();
}

// Sends a request and gathers its answer from empty: what the line brought
// before the request is dropped with it.
void SendFresh(const RequestFrame &frame)
{
    if (!Link.ComDriver)
        return;
    TakeWhatWaits();
    Link.ComDriver->SendData(frame.data(), static_cast<int32_t>(frame.size()));
    Link.ComDriver->RxCount = 0;
}

} // namespace

void SetModbusLink(TModbusLink link)
{
    Link = std::move(link);
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
    if (Link.ComDriver->RxCount < ExpectedBytes + kReadReplyOverhead)
        return false;
    CheckReadResponse();
    if (!ResponseOk)
        return false;
    std::copy_n(RegisterScratch, words, RegisterMirror + index);
    return true;
}

namespace {

RequestFrame WriteRequest(int32_t address, int32_t value, uint8_t function)
{
    return BuildRequest(CurrentStation(), function, WireAddress(static_cast<uint32_t>(address), CurrentMode()),
                        static_cast<uint16_t>(value));
}

// Judge only bytes that arrived for this request: stale bytes beyond
// RxCount belong to earlier traffic.
bool EchoMatches(const TQRTCommDriver &drv, const RequestFrame &frame)
{
    if (drv.RxCount < kEchoBytesAwaited)
        return false;
    for (int i = kEchoFirstCompared; i <= kEchoLastCompared; ++i)
        if (drv.RxBuffer[i] != frame[static_cast<size_t>(i)])
            return false;
    return true;
}

// Whether the echo of the attempt before came during the rest after it. The
// module has then taken the write: sending it again would make it take it twice,
// and a commit code taken twice stays in its slot after the commit.
bool LateEchoArrived(const RequestFrame &frame)
{
    if (!Link.ComDriver)
        return false;
    TQRTCommDriver &drv = *Link.ComDriver;
    drv.RxCount = 0;
    drv.PollReceive();
    return EchoMatches(drv, frame);
}

} // namespace

bool WriteRegisterOnce(int32_t address, int32_t value, uint8_t function)
{
    const RequestFrame frame = WriteRequest(address, value, function);
    SendFresh(frame);
    if (!Link.ComDriver)
        return false;
    TQRTCommDriver &drv = *Link.ComDriver;
    for (int waits = 0; drv.RxCount < kEchoBytesAwaited && waits < kEchoWaits; ++waits) {
        SleepMs(kEchoWaitMs);
        drv.PollReceive();
    }
    return EchoMatches(drv, frame);
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
    return false;
}

bool ReadRegistersOnce(int32_t address, int32_t count, uint16_t *words, int replyWaits)
{
    if (count < 1 || count > kMirrorWords || words == nullptr)
        return false;
    const uint8_t station = CurrentStation();
    const RequestFrame frame = BuildRequest(station, kFnReadHoldingRegisters,
                                            WireAddress(static_cast<uint32_t>(address), CurrentMode()),
                                            static_cast<uint16_t>(count));
    SendFresh(frame);
    if (!Link.ComDriver)
        return false;
    TQRTCommDriver &drv = *Link.ComDriver;
    const size_t length = kReadReplyOverhead + 2 * static_cast<size_t>(count);
    for (int waits = 0; drv.RxCount < length && waits < replyWaits; ++waits) {
        SleepMs(kEchoWaitMs);
        drv.PollReceive();
    }
    const uint8_t *r = drv.RxBuffer;
    if (drv.RxCount != length || r[0] != station || r[1] != kFnReadHoldingRegisters || r[2] != 2 * count ||
        !CrcMatches(r, length))
        return false;
    for (int32_t i = 0; i < count; ++i)
        words[i] = GetWordBE(&r[3 + 2 * static_cast<size_t>(i)]);
    return true;
}
