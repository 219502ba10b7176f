// The master's read path: bytes from the line, in chunks of any size, reach
// RxBuffer through the serial component's poll, between read requests and
// fetches with any arguments, and during reads that wait for their reply.
// Beside the component runs a model of what the receive buffer must hold; the
// mirror is judged against it after every fetch. The line may hand the request
// back (an echoing adapter), put stray bytes before a reply or answer with an
// exception: a valid reply that ends the buffer is taken whatever precedes it,
// and the mirror changes only from a valid reply.
#include "modbus/Crc16.h"
#include "modbus/Frames.h"
#include "modbus/MODBUS_RTU.h"
#include "serial/QRT_ComDrv.h"
#include "tests/fuzz/FuzzMasterLink.h"
#include "tests/fuzz/FuzzQt.h"
#include "tests/fuzz/FuzzSupport.h"
#include "tests/fuzz/VirtualClock.h"

#include <algorithm>
#include <array>

namespace {

using Mirror = std::array<uint16_t, kMirrorWords>;

enum Op : uint8_t { kChunk, kReply, kRequest, kFetch, kWriteFails, kReadOnce, kNoisyReply, kException };
constexpr int kOps = kException + 1;
constexpr int kMaxStray = 3;

// Where a reply of `words` registers to `request` ends the buffer, past `from`; nullptr if none does.
const uint8_t *ReplyAtEnd(const std::vector<uint8_t> &b, size_t from, const RequestFrame &request, size_t words)
{
    const size_t length = kReadReplyOverhead + 2 * words;
    if (b.size() < from + length)
        return nullptr;
    const uint8_t *r = b.data() + b.size() - length;
    return r[0] == request[0] && r[1] == request[1] && r[2] == 2 * words && CrcMatches(r, length) ? r : nullptr;
}

bool BeginsWith(const std::vector<uint8_t> &b, const RequestFrame &request)
{
    return b.size() >= request.size() && std::equal(request.begin(), request.end(), b.begin());
}

Mirror CurrentMirror()
{
    Mirror m;
    std::copy_n(RegisterMirror, kMirrorWords, m.begin());
    return m;
}

// A read reply as a module would send it, sometimes spoiled, so the fetch gets
// far beyond the length test as often as it fails there.
std::vector<uint8_t> Reply(fuzz::Input &in, uint16_t expectedBytes)
{
    const size_t words = in.flag() ? expectedBytes / 2 : in.range(0, kMirrorWords + 2);
    std::vector<uint8_t> r{in.byte(), kFnReadHoldingRegisters, static_cast<uint8_t>(2 * words)};
    for (size_t i = 0; i < 2 * words; ++i)
        r.push_back(in.byte());
    r.resize(r.size() + kCrcSize);
    PutCrc(r.data(), r.size() - kCrcSize);
    if (in.flag())
        r[in.range(0, static_cast<int>(r.size()) - 1)] ^= static_cast<uint8_t>(1 + in.byte() % 255);
    return r;
}

}  // namespace

int TalvexFuzzOne(const uint8_t *data, size_t size)
{
    fuzz::EnsureCoreApplication();
    fuzz::ResetVirtualClock();
    fuzz::Input in(data, size);

    // The size of one read shapes how a reply is cut into chunks.
    const int chunkSize = in.range(1, TQRTCommDriver::kRxBufferSize);
    fuzz::MasterLink link(in, chunkSize);
    FakeSerialState &st = link.st;
    TQRTCommDriver &drv = link.drv;
    const int &station = link.station;
    const TLinkMode &mode = link.mode;
    ResetRegisterMirror();
    ExpectedBytes = 0;

    // What RxBuffer[0 .. RxCount) must hold, and the register bytes the pending read expects.
    std::vector<uint8_t> received;
    uint16_t expected = 0;
    RequestFrame lastRequest{};
    bool requested = false;
    const bool mayEcho = link.echo != TEchoMode::Off;
    // Bytes from the line, cut anywhere, each piece taken by one poll.
    const auto arrive = [&](const std::vector<uint8_t> &chunk) {
        const auto cut = static_cast<long>(in.range(0, static_cast<int>(chunk.size())));
        for (const auto &piece : {std::vector<uint8_t>(chunk.begin(), chunk.begin() + cut),
                                  std::vector<uint8_t>(chunk.begin() + cut, chunk.end())}) {
            st.reads.push_back(piece);
            drv.PollReceive();
            // One read takes at most one chunk; the rest of a longer piece is lost on the way.
            const size_t n = std::min(piece.size(), static_cast<size_t>(chunkSize));
            if (n > 0) {
                if (received.size() + n >= TQRTCommDriver::kRxBufferSize)
                    received.clear();
                received.insert(received.end(), piece.begin(), piece.begin() + static_cast<long>(n));
            }
            FUZZ_CHECK(drv.RxCount <= TQRTCommDriver::kRxBufferSize);
            FUZZ_CHECK(drv.RxCount == received.size());
            FUZZ_CHECK(std::equal(received.begin(), received.end(), drv.RxBuffer));
        }
    };
    // Stray bytes, the request's echo when the line gives one, then `frame`.
    const auto behindStrays = [&](const std::vector<uint8_t> &frame) {
        std::vector<uint8_t> line = in.bytes(in.range(0, kMaxStray));
        if (mayEcho && in.flag()) {
            line.insert(line.begin(), lastRequest.begin(), lastRequest.end());
        }
        line.insert(line.end(), frame.begin(), frame.end());
        return line;
    };

    while (!in.empty()) {
        const auto op = static_cast<Op>(in.byte() % kOps);
        switch (op) {
        case kChunk:
        case kReply:
            arrive(op == kReply ? Reply(in, expected) : in.bytes(in.range(0, 1100)));
            break;
        case kNoisyReply:
        case kException: {
            // A valid reply or an exception to the pending read, behind stray bytes or the echo.
            if (!requested)
                break;
            std::vector<uint8_t> frame;
            const uint8_t code = in.byte();
            if (op == kNoisyReply) {
                frame = {lastRequest[0], lastRequest[1], static_cast<uint8_t>(expected)};
                for (int i = 0; i < expected; ++i)
                    frame.push_back(in.byte());
            } else {
                frame = {lastRequest[0], static_cast<uint8_t>(lastRequest[1] | kExceptionFlag), code};
            }
            frame.resize(frame.size() + kCrcSize);
            PutCrc(frame.data(), frame.size() - kCrcSize);
            const size_t before = received.size();
            arrive(behindStrays(frame));
            const bool whole = received.size() > before && received.size() >= frame.size() &&
                               std::equal(frame.rbegin(), frame.rend(), received.rbegin());
            // A buffer that begins with the request's bytes is taken for its echo.
            const bool overlapsEcho = mayEcho && BeginsWith(received, lastRequest) &&
                                      received.size() < kRequestFrameSize + frame.size();
            if (!whole || overlapsEcho)
                break;
            const bool ok = FetchRegisters(0);
            if (op == kNoisyReply)
                FUZZ_CHECK(ok);  // a valid frame after garbage is accepted
            else if (!ok)
                FUZZ_CHECK(LastExceptionCode() == code);
            break;
        }
        case kRequest: {
            const int32_t address = static_cast<int16_t>(in.u16());
            const int32_t count = in.range(-2, kMirrorWords + 30);
            const uint8_t function = in.flag() ? kFnReadHoldingRegisters : in.byte();
            link.drawAddressing(in);
            const size_t writtenBefore = st.written.size();
            const uint16_t rxBefore = drv.RxCount;
            SendReadRequest(address, count, function);
            if (count < 1 || count > kMirrorWords) {
                // Refused: nothing sent, nothing dropped.
                FUZZ_CHECK(st.written.size() == writtenBefore);
                FUZZ_CHECK(drv.RxCount == rxBefore);
                FUZZ_CHECK(ExpectedBytes == expected);
                break;
            }
            // The request, or as much of it as a failing line took.
            const RequestFrame frame = BuildRequest(static_cast<uint8_t>(station), function,
                                                    WireAddress(static_cast<uint32_t>(address), mode),
                                                    static_cast<uint16_t>(count));
            const size_t sent = st.written.size() - writtenBefore;
            FUZZ_CHECK(sent <= kRequestFrameSize);
            FUZZ_CHECK(
                std::equal(st.written.begin() + static_cast<long>(writtenBefore), st.written.end(), frame.begin()));
            received.clear();
            expected = static_cast<uint16_t>(2 * count);
            lastRequest = frame;
            requested = true;
            FUZZ_CHECK(drv.RxCount == 0);
            FUZZ_CHECK(ExpectedBytes == expected);
            break;
        }
        case kFetch: {
            const int32_t index = in.range(-3, kMirrorWords + 3);
            const Mirror before = CurrentMirror();
            const bool ok = FetchRegisters(index);
            const size_t words = expected / 2;
            const bool fits = index >= 0 && index + static_cast<int32_t>(words) <= kMirrorWords;
            const bool complete = received.size() >= expected + kReadReplyOverhead;
            const bool echoed = requested && mayEcho && BeginsWith(received, lastRequest);
            // The buffer as one frame, judged by its CRC alone, unless it begins with the echo ...
            const bool whole = !echoed && complete && CrcMatches(received.data(), received.size());
            // ... or a reply to the request that ends the buffer, whatever precedes it.
            const uint8_t *tail = requested ? ReplyAtEnd(received, echoed ? kRequestFrameSize : 0, lastRequest, words)
                                            : nullptr;
            // True exactly for one of the two whose words fit the mirror ...
            FUZZ_CHECK(ok == (fits && (whole || tail)));
            FUZZ_CHECK(drv.RxCount == received.size());
            const uint8_t *reply = whole ? received.data() : tail;
            const Mirror after = CurrentMirror();
            for (int w = 0; w < kMirrorWords; ++w) {
                const bool covered = ok && w >= index && w < index + static_cast<int>(words);
                if (covered)  // ... which then holds the reply's registers, high byte first ...
                    FUZZ_CHECK(after[w] == GetWordBE(&reply[3 + 2 * static_cast<size_t>(w - index)]));
                else  // ... and no other word ever changes.
                    FUZZ_CHECK(after[w] == before[w]);
            }
            break;
        }
        case kWriteFails:
            // The next sends meet a failing or stalled line.
            st.writeResults.push_back(in.range(-1, 8));
            break;
        case kReadOnce: {
            // A read that waits for its own reply, with whatever the line brings meanwhile.
            const int32_t address = static_cast<int16_t>(in.u16());
            const int32_t count = in.range(-1, kMirrorWords + 1);
            link.drawAddressing(in);
            std::vector<uint8_t> line;
            const RequestFrame request = BuildRequest(static_cast<uint8_t>(station), kFnReadHoldingRegisters,
                                                      WireAddress(static_cast<uint32_t>(address), mode),
                                                      static_cast<uint16_t>(count));
            if (in.flag() && count >= 1 && count <= kMirrorWords) {
                line = {static_cast<uint8_t>(station), kFnReadHoldingRegisters, static_cast<uint8_t>(2 * count)};
                for (int i = 0; i < 2 * count; ++i)
                    line.push_back(in.byte());
                line.resize(line.size() + kCrcSize);
                PutCrc(line.data(), line.size() - kCrcSize);
                if (in.flag())
                    line[in.range(0, static_cast<int>(line.size()) - 1)] ^= static_cast<uint8_t>(1 + in.byte() % 255);
                // Stray bytes, or the echo, before it.
                std::vector<uint8_t> before = in.bytes(in.range(0, kMaxStray));
                if (mayEcho && in.flag())
                    before.insert(before.begin(), request.begin(), request.end());
                line.insert(line.begin(), before.begin(), before.end());
            } else {
                line = in.bytes(in.range(0, 250));
            }
            for (int piece = in.range(0, 4); piece > 0 && !line.empty(); --piece) {
                const auto cut = static_cast<long>(in.range(0, static_cast<int>(line.size())));
                st.reads.emplace_back(line.begin(), line.begin() + cut);
                line.erase(line.begin(), line.begin() + cut);
            }
            st.reads.push_back(line);

            constexpr uint16_t kUntouched = 0xA5C3;
            uint16_t words[kMirrorWords + 1];
            std::fill(std::begin(words), std::end(words), kUntouched);
            const Mirror before = CurrentMirror();
            const uint16_t rxBefore = drv.RxCount;
            const bool ok = ReadRegistersOnce(address, count, words);
            st.reads.clear();  // what came too late is not part of this exchange
            FUZZ_CHECK(CurrentMirror() == before);
            FUZZ_CHECK(ExpectedBytes == expected);
            FUZZ_CHECK(drv.RxCount <= TQRTCommDriver::kRxBufferSize);
            if (count < 1 || count > kMirrorWords) {
                FUZZ_CHECK(!ok && drv.RxCount == rxBefore);
            } else {
                const std::vector<uint8_t> got(drv.RxBuffer, drv.RxBuffer + drv.RxCount);
                const bool echoed = mayEcho && BeginsWith(got, request);
                const uint8_t *r = ReplyAtEnd(got, echoed ? kRequestFrameSize : 0, request, static_cast<size_t>(count));
                FUZZ_CHECK(ok == (r != nullptr));
                for (int i = 0; i <= kMirrorWords; ++i)
                    FUZZ_CHECK(words[i] == (ok && i < count ? GetWordBE(&r[3 + 2 * i]) : kUntouched));
            }
            received.assign(drv.RxBuffer, drv.RxBuffer + drv.RxCount);
            break;
        }
        }
    }
    SetModbusLink({});
    return 0;
}
