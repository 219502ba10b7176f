// The firmware update driven over the platform double by whatever the line
// answers, step by step, with time-out ticks, presses of the start button, a
// port that will not open and writes that fail in between. No copy may leave
// the command area of IspBuffer, the progress stays within 0 ... 100, and once
// the line falls silent every run ends, by time-out or finish, with both timers
// stopped and the port closed.
#include "firmware/FirmwareImage.h"
#include "firmware/Isp.h"
#include "firmware/stm32/Stm32Protocol.h"
#include "tests/fuzz/FuzzSupport.h"
#include "tests/fuzz/FuzzWidgets.h"
#include "tests/fuzz/UpdateAdapter.h"
#include "tests/fuzz/UpdateAnswers.h"
#include "tests/fuzz/VirtualClock.h"
#include "tests/support/FakeSerialPort.h"
#include "widgets/Toolkit.h"

#include <algorithm>

namespace {

enum Op : uint8_t { kBytes, kAnswer, kStep, kTimeoutTick, kPress, kOpenFails, kWriteFails, kShow };
constexpr int kOps = kShow + 1;

// Ticks within which a run left alone must have ended: every run of a press
// times out after at most six ticks, and a press makes at most three runs.
constexpr int kTicksToEnd = Isp::kMaxRuns * (Isp::kOvertimeLimit + 1) + 1;

// The image area and the unused position 0 as the carried image leaves them
// (all zero before the first load); no received byte may ever land there.
struct Reference {
    size_t imageBytes = 0;
    std::vector<uint8_t> imageArea;
    std::vector<uint8_t> unloaded;
    uint8_t position0 = 0;
};

const Reference &ImageReference()
{
    static const Reference ref = [] {
        Reference r;
        const std::optional<QByteArray> image = LoadFirmwareImage();
        FUZZ_CHECK(image);
        r.imageBytes = static_cast<size_t>(image->size());
        constexpr size_t kBeyondImage = 2 * TQRTCommDriver::kRxBufferSize;
        r.imageArea.assign(image->cbegin(), image->cend());
        r.imageArea.resize(r.imageBytes + kBeyondImage, 0);
        r.unloaded.assign(r.imageArea.size(), 0);
        return r;
    }();
    return ref;
}

// Opens made since the last look, while the port refused to open.
void CountFailedOpens(const FakeSerialState &st, size_t &seen, int &failed)
{
    for (; seen < st.calls.size(); ++seen)
        if (st.openFails && st.calls[seen].rfind("open:", 0) == 0)
            ++failed;
}

void CheckInvariants(UpdateUnderTest &u, const Reference &ref)
{
    FUZZ_CHECK(u.progress() >= 0 && u.progress() <= 100);
    FUZZ_CHECK(u.state() >= 0 && u.state() <= UpdateUnderTest::kStates);
    FUZZ_CHECK(u.port().RxCount <= TQRTCommDriver::kRxBufferSize);
    const TIspBuffer &isp = u.buffer();
    FUZZ_CHECK(isp[0] == ref.position0);
    const std::vector<uint8_t> &area = u.imageLoaded() ? ref.imageArea : ref.unloaded;
    FUZZ_CHECK(std::equal(area.begin(), area.end(), isp.begin() + kIspImageFirst));
    if (u.state() >= 8) {  // from the erase on: the blocks walk through the image and no further
        FUZZ_CHECK(u.imageOffset() >= 0 && u.bytesLeft() >= 0);
        FUZZ_CHECK(static_cast<size_t>(u.imageOffset() + u.bytesLeft()) == ref.imageBytes);
        FUZZ_CHECK(u.writeAddress() == stm32::kFlashBase + static_cast<uint32_t>(u.imageOffset()));
    }
}

}  // namespace

int TalvexFuzzOne(const uint8_t *data, size_t size)
{
    fuzz::EnsureApplication();
    fuzz::ResetVirtualClock();
    const Reference &ref = ImageReference();
    fuzz::Input in(data, size);

    int messages = 0;
    int failedOpens = 0;
    size_t callsSeen = 0;
    FakeSerialState st;
    SetMessageHook([&](QWidget *, const QString &, const QString &caption) {
        ++messages;
        FUZZ_CHECK(caption == kCaptionPortError);
    });
    {
        UpdateUnderTest u(std::make_unique<FakeSerialPort>(st));
        u.choosePort(in.range(0, 7));
        u.press();
        CountFailedOpens(st, callsSeen, failedOpens);
        while (!in.empty()) {
            switch (in.byte() % kOps) {
            case kBytes:
                st.reads.push_back(in.bytes(in.range(0, 300)));
                u.port().PollReceive();
                break;
            case kAnswer:
                st.reads.push_back(fuzz::AgreeingAnswer(u.state(), in));
                u.port().PollReceive();
                break;
            case kStep:
                if (u.stepTimerRunning())
                    u.step();
                break;
            case kTimeoutTick:
                if (u.timeoutTimerRunning())
                    u.timeoutTick();
                break;
            case kPress:
                u.press();
                break;
            case kOpenFails:
                st.openFails = in.flag();
                break;
            case kWriteFails:
                st.writeResults.push_back(in.range(-1, 3));
                break;
            case kShow:
                u.show();
                break;
            }
            CountFailedOpens(st, callsSeen, failedOpens);
            CheckInvariants(u, ref);
        }

        // The line falls silent: the timers alone must end the run.
        for (int tick = 0; tick < kTicksToEnd && (u.stepTimerRunning() || u.timeoutTimerRunning()); ++tick) {
            if (u.stepTimerRunning())
                u.step();
            if (u.timeoutTimerRunning())
                u.timeoutTick();
            CountFailedOpens(st, callsSeen, failedOpens);
            CheckInvariants(u, ref);
        }
        FUZZ_CHECK(!u.stepTimerRunning() && !u.timeoutTimerRunning());
        FUZZ_CHECK(!u.port().IsOpen());
        FUZZ_CHECK(u.progress() == 0);
    }
    // Every open that failed was said, and nothing else was.
    FUZZ_CHECK(messages == failedOpens);
    SetMessageHook({});
    return 0;
}
