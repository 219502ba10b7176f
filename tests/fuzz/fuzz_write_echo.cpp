// The write transaction's echo check. Whatever the line brings during the
// waits (nothing, parts of the echo, a wrong echo, stale bytes of an earlier
// exchange, bytes that arrive after the transaction has ended), a write counts
// as done only when the echo's function code, address and value, bytes 1 ... 5,
// are the request's.
#include "Frames.h"
#include "FuzzMasterLink.h"
#include "FuzzQt.h"
#include "FuzzSupport.h"
#include "MODBUS_RTU.h"
#include "QRT_ComDrv.h"
#include "VirtualClock.h"

#include <algorithm>

namespace {

enum Op : uint8_t { kArrive, kEcho, kWriteOnce, kWrite, kStray, kWriteFails };
constexpr int kOps = kWriteFails + 1;

constexpr int kEchoFirstJudged = 1;
constexpr int kEchoLastJudged = 5;

bool EchoMatches(const TQRTCommDriver &drv, const uint8_t *request)
{
    return std::equal(request + kEchoFirstJudged, request + kEchoLastJudged + 1, drv.RxBuffer + kEchoFirstJudged);
}

// Whether the bytes sent are attempts at the request one after another, each
// whole or cut short where the line failed under it.
bool MadeOfAttempts(const uint8_t *sent, size_t count, const RequestFrame &request)
{
    std::vector<bool> reachable(count + 1, false);
    reachable[0] = true;
    for (size_t at = 0; at < count; ++at) {
        if (!reachable[at])
            continue;
        for (size_t k = 1; k <= request.size() && at + k <= count && sent[at + k - 1] == request[k - 1]; ++k)
            reachable[at + k] = true;
    }
    return reachable[count];
}

} // namespace

int TalvexFuzzOne(const uint8_t *data, size_t size)
{
    fuzz::EnsureCoreApplication();
    fuzz::ResetVirtualClock();
    fuzz::Input in(data, size);

    fuzz::MasterLink link(in);
    FakeSerialState &st = link.st;
    TQRTCommDriver &drv = link.drv;
    const int &station = link.station;
    const TLinkMode &mode = link.mode;
    // Bytes of earlier traffic lie in the buffer beyond what the next exchange brings.
    const std::vector<uint8_t> stale = in.bytes(in.range(0, TQRTCommDriver::kRxBufferSize));
    std::copy(stale.begin(), stale.end(), drv.RxBuffer);
    drv.RxCount = static_cast<uint16_t>(stale.size());

    // The next write's arguments are read ahead, so an echo can be queued before it.
    int32_t address = static_cast<int16_t>(in.u16());
    int32_t value = static_cast<int32_t>(in.u32());
    while (!in.empty()) {
        const auto op = static_cast<Op>(in.byte() % kOps);
        switch (op) {
        case kArrive:
            // What one poll of the wait finds: nothing (an empty chunk) or some bytes.
            st.reads.push_back(in.bytes(in.range(0, 12)));
            break;
        case kEcho: {
            // The echo of the coming request, maybe with one byte changed, maybe cut short.
            RequestFrame echo = BuildRequest(static_cast<uint8_t>(station), kFnWriteSingleRegister,
                                             WireAddress(static_cast<uint32_t>(address), mode),
                                             static_cast<uint16_t>(value));
            if (in.flag())
                echo[in.range(0, kRequestFrameSize - 1)] ^= static_cast<uint8_t>(1 + in.byte() % 255);
            const auto length = static_cast<long>(in.range(0, kRequestFrameSize));
            st.reads.emplace_back(echo.begin(), echo.begin() + length);
            break;
        }
        case kWriteOnce:
        case kWrite: {
            const bool once = op == kWriteOnce;
            const size_t writtenBefore = st.written.size();
            const uint8_t function = once && in.flag() ? in.byte() : kFnWriteSingleRegister;
            const bool ok = once ? WriteRegisterOnce(address, value, function)
                                 : WriteRegister(address, static_cast<uint16_t>(value));
            // Every attempt sends this request, whole unless the line fails under it ...
            const RequestFrame request = BuildRequest(static_cast<uint8_t>(station), function,
                                                      WireAddress(static_cast<uint32_t>(address), mode),
                                                      static_cast<uint16_t>(value));
            FUZZ_CHECK(st.written.size() - writtenBefore <= (once ? 1 : kWriteAttempts) * kRequestFrameSize);
            FUZZ_CHECK(MadeOfAttempts(st.written.data() + writtenBefore, st.written.size() - writtenBefore, request));
            // ... and the (last) attempt succeeds exactly when at least six bytes came back
            // and bytes 1 ... 5 echo it.
            const bool echoed = drv.RxCount >= kEchoBytesAwaited && EchoMatches(drv, request.data());
            FUZZ_CHECK(ok == echoed);
            FUZZ_CHECK(drv.RxCount <= TQRTCommDriver::kRxBufferSize);
            address = static_cast<int16_t>(in.u16());
            value = static_cast<int32_t>(in.u32());
            link.drawAddressing(in);
            break;
        }
        case kStray:
            // Bytes taken by the polling timer between transactions.
            st.reads.push_back(in.bytes(in.range(0, 40)));
            drv.PollReceive();
            break;
        case kWriteFails:
            st.writeResults.push_back(in.range(-1, 8));
            break;
        }
    }
    SetModbusLink({});
    return 0;
}
