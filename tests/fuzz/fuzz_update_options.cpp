// The update with the command line's steps (a way into the bootloader, the
// flash size checked against the image, the unique ID, the read-back) driven by
// whatever the line answers, with time-out ticks and new starts in between. No
// copy may leave the command area of IspBuffer, the stage's percentage stays
// within 0 ... 100, a failure inside the image names an address inside it, and
// once the line falls silent the start ends with both timers stopped and the
// port closed.
#include "firmware/FirmwareImage.h"
#include "firmware/Isp.h"
#include "firmware/UpdateEngine.h"
#include "firmware/stm32/Stm32Protocol.h"
#include "tests/fuzz/FuzzQt.h"
#include "tests/fuzz/FuzzSupport.h"
#include "tests/fuzz/UpdateAnswers.h"
#include "tests/fuzz/VirtualClock.h"
#include "tests/support/FakeSerialPort.h"

#include <algorithm>

namespace {

enum Op : uint8_t { kBytes, kAnswer, kStep, kTimeoutTick, kStart };
constexpr int kOps = kStart + 1;

// Enough ticks for three runs, each waiting out the manual entry's half minute.
constexpr int kTicksToEnd = Isp::kMaxRuns * (TUpdateCore::kManualSyncSeconds + Isp::kOvertimeLimit + 1) + 1;
constexpr int kImageBytes = 700;  // three blocks, the last one short
constexpr size_t kBeyondImage = 2 * TQRTCommDriver::kRxBufferSize;

const QByteArray &Image()
{
    static const QByteArray image = [] {
        QByteArray b(kImageBytes, 0);
        for (int i = 0; i < kImageBytes; ++i)
            b[i] = char(i * 31 + 7);
        return b;
    }();
    return image;
}

// What a chip that agrees answers in each state; a read-back returns what was written.
std::vector<uint8_t> Answer(int state, const FakeSerialState &st, fuzz::Input &in)
{
    constexpr uint8_t A = stm32::kAck;
    switch (state) {
    case TUpdateCore::kUniqueIdDataState: {
        std::vector<uint8_t> r{A};
        for (int i = 0; i < TUpdateCore::kUniqueIdBytes; ++i)
            r.push_back(in.byte());
        return r;
    }
    case TUpdateCore::kVerifyDataState: {
        // The address went out before the count: ... a3 a2 a1 a0 xor, n ~n.
        const auto &w = st.written;
        if (w.size() < 7)
            return {A};
        const uint32_t address = uint32_t(w[w.size() - 7]) << 24 | uint32_t(w[w.size() - 6]) << 16 |
                                 uint32_t(w[w.size() - 5]) << 8 | w[w.size() - 4];
        const int count = w[w.size() - 2] + 1;
        std::vector<uint8_t> r{A};
        for (int i = 0; i < count; ++i) {
            const int64_t at = int64_t(address) - stm32::kFlashBase + i;
            r.push_back(at >= 0 && at < kImageBytes ? uint8_t(Image()[int(at)]) : in.byte());
        }
        if (in.flag() && count > 0)
            r[1 + in.range(0, count - 1)] ^= 1;  // now and then a byte stored wrong
        return r;
    }
    default:
        return fuzz::AgreeingAnswer(state, in);
    }
}

struct Seen {
    bool finished = false;
    bool badPercent = false;
    bool badAddress = false;
};

}  // namespace

int TalvexFuzzOne(const uint8_t *data, size_t size)
{
    fuzz::EnsureCoreApplication();
    fuzz::ResetVirtualClock();
    fuzz::Input in(data, size);

    TUpdateOptions options;
    options.bootEntry = static_cast<TBootEntry>(in.range(0, 2));
    options.readUniqueId = in.flag();
    options.verify = in.flag();
    options.imageBytes = in.flag() ? kImageBytes : in.flag() ? in.range(0, int(kFirmwareImageMaxBytes)) : -1;

    FakeSerialState st;
    Seen seen;
    {
        TQRTCommDriver driver(nullptr, std::make_unique<FakeSerialPort>(st));
        TUpdateEngine engine(driver);
        engine.SetOptions(options);
        engine.SetImageLoader([] { return LoadFirmwareImageBytes(Image()); });
        QObject::connect(&engine, &TUpdateEngine::stageChanged, [&](TUpdateStage, int percent) {
            seen.badPercent = seen.badPercent || percent < 0 || percent > 100;
        });
        QObject::connect(&engine, &TUpdateEngine::runFailed, [&](const TUpdateFailure &f) {
            const bool inImage = f.address >= stm32::kFlashBase && f.address < stm32::kFlashBase + kImageBytes;
            if (f.stage == TUpdateStage::Writing || f.cause == TUpdateCause::VerifyMismatch)
                seen.badAddress = seen.badAddress || !inImage;
        });
        QObject::connect(&engine, &TUpdateEngine::finished, [&](TUpdateOutcome) { seen.finished = true; });

        const auto check = [&] {
            FUZZ_CHECK(engine.Core().IspState() >= 0 && engine.Core().IspState() <= TUpdateCore::kLastState);
            FUZZ_CHECK(driver.RxCount <= TQRTCommDriver::kRxBufferSize);
            FUZZ_CHECK(!seen.badPercent && !seen.badAddress);
            // Whatever came in stayed in the command area: the image area holds the image.
            const TIspMemory &isp = engine.Core().Memory();
            if (isp.ImageStream() && isp.ImageStream()->size() == kImageBytes) {
                const auto first = isp.IspBuffer().begin() + kIspImageFirst;
                FUZZ_CHECK(std::equal(Image().cbegin(), Image().cend(), first,
                                      [](char a, uint8_t b) { return uint8_t(a) == b; }));
                FUZZ_CHECK(std::all_of(first + kImageBytes, first + kImageBytes + kBeyondImage,
                                       [](uint8_t b) { return b == 0; }));
            }
            FUZZ_CHECK(engine.Core().UniqueId().empty() ||
                       engine.Core().UniqueId().size() == 2 * TUpdateCore::kUniqueIdBytes);
        };

        engine.Start();
        while (!in.empty()) {
            switch (in.byte() % kOps) {
            case kBytes:
                st.reads.push_back(in.bytes(in.range(0, 300)));
                driver.PollReceive();
                break;
            case kAnswer:
                st.reads.push_back(Answer(engine.Core().IspState(), st, in));
                driver.PollReceive();
                break;
            case kStep:
                if (engine.Timer5.isActive())
                    engine.Timer5Timer();
                break;
            case kTimeoutTick:
                if (engine.OvertimeT.isActive())
                    engine.OvertimeTTimer();
                break;
            case kStart:
                engine.Start();
                break;
            }
            check();
        }

        // The line falls silent: the timers alone must end the start.
        for (int tick = 0; tick < kTicksToEnd && (engine.Timer5.isActive() || engine.OvertimeT.isActive()); ++tick) {
            if (engine.Timer5.isActive())
                engine.Timer5Timer();
            if (engine.OvertimeT.isActive())
                engine.OvertimeTTimer();
            check();
        }
        FUZZ_CHECK(!engine.Timer5.isActive() && !engine.OvertimeT.isActive());
        FUZZ_CHECK(!driver.IsOpen());
        FUZZ_CHECK(seen.finished);
    }
    return 0;
}
