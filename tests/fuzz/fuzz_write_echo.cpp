// The write transaction's echo check. Whatever the line brings during the
// waits (nothing, parts of the echo, a wrong echo, stale bytes of an earlier
// exchange, bytes that arrive after the transaction has ended, the adapter's
// echo of the request, stray bytes, exception replies), a write counts as done
// only on a whole 8-byte answer whose function code, address and value, bytes
// 1 ... 5, are the request's and whose CRC is valid; on a port that echoes, only
// on such an answer after the echo. A write to a silent module never succeeds,
// and the module's answer behind stray bytes is accepted.
#include "modbus/Frames.h"
#include "modbus/MODBUS_RTU.h"
#include "serial/QRT_ComDrv.h"
#include "tests/fuzz/FuzzMasterLink.h"
#include "tests/fuzz/FuzzQt.h"
#include "tests/fuzz/FuzzSupport.h"
#include "tests/fuzz/VirtualClock.h"

#include <algorithm>

namespace {

enum Op : uint8_t { kArrive, kEcho, kWriteOnce, kWrite, kStray, kWriteFails, kSilentModule, kNoisyAnswer };
constexpr int kOps = kNoisyAnswer + 1;

constexpr int kEchoFirstJudged = 1;
constexpr int kEchoLastJudged = 5;
constexpr int kMaxStray = 3;

bool IsAnswer(const uint8_t *p, const RequestFrame &request)
{
    return std::equal(request.begin() + kEchoFirstJudged, request.begin() + kEchoLastJudged + 1,
                      p + kEchoFirstJudged) &&
           CrcMatches(p, kRequestFrameSize);
}

// Whether the buffer holds what confirms the write: the answer where the module's
// reply begins (after the echo when the port echoes), or the addressed station's
// answer ending the buffer behind other bytes.
bool Confirms(const TQRTCommDriver &drv, const RequestFrame &request, bool echoing)
{
    const uint8_t *b = drv.RxBuffer;
    const size_t n = drv.RxCount;
    size_t from = 0;
    if (echoing) {
        const uint8_t *at = std::search(b, b + n, request.begin(), request.end());
        if (at == b + n)
            return false;
        from = static_cast<size_t>(at - b) + kRequestFrameSize;
    }
    if (n < from + kRequestFrameSize)
        return false;
    return IsAnswer(b + from, request) ||
           (b[n - kRequestFrameSize] == request[0] && IsAnswer(b + n - kRequestFrameSize, request));
}

// The pieces a line cuts `bytes` into, each handed over by one poll.
void Cut(fuzz::Input &in, FakeSerialState &st, std::vector<uint8_t> bytes)
{
    for (int piece = in.range(0, 3); piece > 0 && !bytes.empty(); --piece) {
        const auto cut = static_cast<long>(in.range(0, static_cast<int>(bytes.size())));
        st.reads.emplace_back(bytes.begin(), bytes.begin() + cut);
        bytes.erase(bytes.begin(), bytes.begin() + cut);
    }
    st.reads.push_back(std::move(bytes));
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

}  // namespace

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
            const bool echoing = PortEchoes();
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
            // ... and a success always rests on the module's own answer in the (last) attempt's bytes.
            if (ok)
                FUZZ_CHECK(Confirms(drv, request, echoing));
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
        case kSilentModule:
        case kNoisyAnswer: {
            // Stray bytes, the echo when the port is known to echo (split anywhere), and
            // for kNoisyAnswer the module's answer; nothing else comes during the attempt.
            st.reads.clear();
            st.writeResults.clear();
            const bool echoing = PortEchoes();
            const RequestFrame request = BuildRequest(static_cast<uint8_t>(station), kFnWriteSingleRegister,
                                                      WireAddress(static_cast<uint32_t>(address), mode),
                                                      static_cast<uint16_t>(value));
            std::vector<uint8_t> line = in.bytes(in.range(0, kMaxStray));
            if (echoing || (op == kSilentModule && link.echo != TEchoMode::Off))
                line.insert(line.end(), request.begin(), request.end());
            if (op == kNoisyAnswer)
                line.insert(line.end(), request.begin(), request.end());
            Cut(in, st, line);
            const bool ok = WriteRegisterOnce(address, value, kFnWriteSingleRegister);
            st.reads.clear();
            if (op == kSilentModule && echoing)
                FUZZ_CHECK(!ok);  // a write to a silent module never succeeds
            if (op == kNoisyAnswer && !ok) {
                // Only a frame the master took for the module's refusal stops it: an
                // exception, or a whole frame of another meaning where the answer begins.
                FUZZ_CHECK(LastExceptionCode() != 0 || CrcMatches(drv.RxBuffer, kRequestFrameSize));
            }
            address = static_cast<int16_t>(in.u16());
            value = static_cast<int32_t>(in.u32());
            link.drawAddressing(in);
            break;
        }
        }
    }
    SetModbusLink({});
    return 0;
}
