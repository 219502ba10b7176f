// The master's read path: bytes from the line, in chunks of any size, reach
// RxBuffer through the serial component's poll, between read requests and
// fetches with any arguments, and during reads that wait for their reply.
// Beside the component runs a model of what the receive buffer must hold; the
// mirror is judged against it after every fetch.
#include "Crc16.h"
#include "Frames.h"
#include "FuzzMasterLink.h"
#include "FuzzQt.h"
#include "FuzzSupport.h"
#include "MODBUS_RTU.h"
#include "QRT_ComDrv.h"
#include "VirtualClock.h"

#include <algorithm>
#include <array>

namespace {

using Mirror = std::array<uint16_t, kMirrorWords>;

enum Op : uint8_t { kChunk, kReply, kRequest, kFetch, kWriteFails, kReadOnce };
constexpr int kOps = kReadOnce + 1;

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

} // namespace

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

    while (!in.empty()) {
        const auto op = static_cast<Op>(in.byte() % kOps);
        switch (op) {
        case kChunk:
        case kReply: {
            const bool reply = op == kReply;
            const std::vector<uint8_t> chunk = reply ? Reply(in, expected) : in.bytes(in.range(0, 1100));
            // The line may cut the bytes anywhere.
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
            FUZZ_CHECK(std::equal(st.written.begin() + static_cast<long>(writtenBefore), st.written.end(), frame.begin()));
            received.clear();
            expected = static_cast<uint16_t>(2 * count);
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
            const bool valid = CrcMatches(received.data(), received.size());
            // True exactly for a complete, valid reply whose words fit the mirror ...
            FUZZ_CHECK(ok == (fits && complete && valid));
            FUZZ_CHECK(drv.RxCount == received.size());
            const Mirror after = CurrentMirror();
            for (int w = 0; w < kMirrorWords; ++w) {
                const bool covered = ok && w >= index && w < index + static_cast<int>(words);
                if (covered)  // ... which then holds the reply's registers, high byte first ...
                    FUZZ_CHECK(after[w] == GetWordBE(&received[3 + 2 * static_cast<size_t>(w - index)]));
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
            if (in.flag() && count >= 1 && count <= kMirrorWords) {
                line = {static_cast<uint8_t>(station), kFnReadHoldingRegisters, static_cast<uint8_t>(2 * count)};
                for (int i = 0; i < 2 * count; ++i)
                    line.push_back(in.byte());
                line.resize(line.size() + kCrcSize);
                PutCrc(line.data(), line.size() - kCrcSize);
                if (in.flag())
                    line[in.range(0, static_cast<int>(line.size()) - 1)] ^= static_cast<uint8_t>(1 + in.byte() % 255);
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
                const uint8_t *r = drv.RxBuffer;
                const size_t length = kReadReplyOverhead + 2 * static_cast<size_t>(count);
                const bool valid = drv.RxCount == length && r[0] == station && r[1] == kFnReadHoldingRegisters &&
                                   r[2] == 2 * count && CrcMatches(r, length);
                FUZZ_CHECK(ok == valid);
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
