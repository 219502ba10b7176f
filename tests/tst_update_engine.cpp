// The update engine on its own, without a window: a whole update against the
// bootloader engine behind a platform double, every state's check of its reply,
// the three runs of the time-out on a hand-moved clock, and the report of a port
// that will not open.
#include "firmware/FirmwareImage.h"
#include "firmware/Isp.h"
#include "firmware/UpdateEngine.h"
#include "firmware/stm32/Stm32Protocol.h"
#include "serial/PortNames.h"
#include "sim/bootloader/Stm32Bootloader.h"
#include "tests/support/Bytes.h"
#include "tests/support/FakeSerialPort.h"
#include "tests/support/Stm32flashHost.h"
#include "tests/support/UpdateEngineHarness.h"

#include <QSignalSpy>
#include <QTemporaryFile>
#include <QtTest>

Q_DECLARE_METATYPE(TUpdateOutcome)

// What comes due while the last block's progress is reported.
enum class Inside { Nothing, Press, TimeOut };
Q_DECLARE_METATYPE(Inside)

namespace {

// A one-block image (256 bytes), so that the states from the erase to the finish
// are each passed once.
QByteArray OneBlockImage()
{
    QByteArray image(int(stm32::kMaxTransferBytes), 0);
    for (int i = 0; i < image.size(); ++i)
        image[i] = char(i * 13 + 1);
    return image;
}

// The chip's good answer in each state 1 ... 11 of the update (index 0 unused).
const Bytes kGoodReply[TUpdateCore::kStates + 1] = {
    {},
    {0x79},                                                                                      // sync
    {0x79, 0x0B, 0x22, 0x00, 0x01, 0x02, 0x11, 0x21, 0x31, 0x43, 0x63, 0x73, 0x82, 0x92, 0x79},  // Get
    {0x79, 0x01, 0x04, 0x10, 0x79},                                                              // Get ID
    {0x79},                                                                                      // Read Memory
    {0x79},                                                                                      // its address
    {0x79, 0x80, 0x00, 0xFF, 0xFF},                                                              // 4 bytes read
    {0x79},                                                                                      // Erase Memory
    {0x79},                                                                                      // page list
    {0x79},                                                                                      // Write Memory
    {0x79},                                                                                      // its address
    {0x79},                                                                                      // the last block
};

Bytes With(Bytes b, size_t at, uint8_t value)
{
    b.at(at) = value;
    return b;
}

Bytes Short(const Bytes &b)
{
    return Bytes(b.begin(), b.end() - 1);
}

}  // namespace

class TestUpdateEngine : public QObject {
    Q_OBJECT

private slots:
    void init() { qunsetenv(kPortDirEnv); }

    void wholeUpdateAgainstTheChip()
    {
        // Not a multiple of 256: the last block is short, and the image leaves a spare erased page.
        QTemporaryFile file;
        QVERIFY(file.open());
        QByteArray image(3000, 0);
        for (int i = 0; i < image.size(); ++i)
            image[i] = char(i * 13 + 1);
        file.write(image);
        file.close();

        Stm32Bootloader chip;
        chip.preloadFlash(0x08000000, std::vector<uint8_t>(5 * 1024, 0x00));
        std::vector<std::string> calls;
        TQRTCommDriver driver(nullptr, std::make_unique<ChipPort>(chip, calls));
        TUpdateEngine engine(driver);
        Reports r;
        r.watch(engine);
        engine.SetImageLoader([&] { return LoadFirmwareImageFrom(file.fileName()); });
        engine.SetPortIndex(4);

        engine.Start();
        QCOMPARE(calls, (std::vector<std::string>{"open:/dev/ttyUSB2", "rts:0", "dtr:0", "dtr:1", "rts:1", "dtr:0"}));
        // The ticks are handed in: no event loop runs in this test.
        for (int i = 0; i < 1000 && r.outcomes.isEmpty(); ++i) {
            driver.PollReceive();
            engine.Timer5Timer();
        }
        QCOMPARE(r.outcomes, QList<TUpdateOutcome>{TUpdateOutcome::Done});
        QCOMPARE(r.sleeps, (std::vector<uint32_t>{500, 500, 300}));
        QCOMPARE(calls.back(), std::string("close"));
        QVERIFY(!engine.Timer5.isActive() && !engine.OvertimeT.isActive());
        QCOMPARE(engine.Core().IspState(), 1);

        const auto flash = chip.flash();
        QVERIFY(
            std::equal(image.cbegin(), image.cend(), flash.begin(), [](char a, uint8_t b) { return uint8_t(a) == b; }));
        // Pages 0 ... 2 erased (3000 / 1024 + 1 = 3); page 3 keeps what it held.
        QVERIFY(std::all_of(flash.begin() + 3000, flash.begin() + 3 * 1024, [](uint8_t b) { return b == 0xFF; }));
        QVERIFY(std::all_of(flash.begin() + 3 * 1024, flash.begin() + 5 * 1024, [](uint8_t b) { return b == 0x00; }));

        // 12 blocks: the progress rises with each, reaches 100 with the last, then drops to 0.
        QCOMPARE(r.progress.size(), 13);
        QCOMPARE(r.progress[0], 8);  // 256 * 100 / 3000
        QVERIFY(std::is_sorted(r.progress.begin(), r.progress.end() - 1));
        QCOMPARE(r.progress[11], 100);
        QCOMPARE(r.progress.last(), 0);
        QCOMPARE(r.statuses.mid(0, 5),
                 (QStringList{"正在查找设备。。。", "已成功连接", "Boot:2.2", "正在擦除。。。", "写进度: 8%"}));
        QCOMPARE(r.statuses.last(), QString("上载完成！"));
        QCOMPARE(engine.Core().Progress(), 0);
    }

    // No answer at all: three runs, each 1 s of line sequence and four 1 s ticks of
    // the time-out. The ticks come from the engine's clock, moved here by hand.
    void threeRunsEndTheStart()
    {
        EngineOnFakePort e;
        e.engine.Start();
        QCOMPARE(e.engine.Core().OvertimeCount(), uint8_t(2));
        QCOMPARE(e.engine.Core().RetryCount(), uint8_t(0));
        while (e.r.outcomes.isEmpty() && e.r.now < 20000) {
            ++e.r.now;
            e.engine.Core().TimeOut(e.r.now);
        }
        QCOMPARE(e.r.outcomes, QList<TUpdateOutcome>{TUpdateOutcome::LinkFailed});
        QCOMPARE(e.r.now, 15300u);  // the last run's end holds reset 300 ms to restart the module
        QCOMPARE(e.engine.Core().RetryCount(), uint8_t(3));
        QCOMPARE(e.r.statuses,
                 (QStringList{"正在查找设备。。。", "连机失败！请检查通信线。", "正在查找设备。。。",
                              "连机失败！请检查通信线。", "正在查找设备。。。", "连机失败！请检查通信线。"}));
        // Each run: the sync byte after the 1 s line sequence, the end 4 s later.
        QCOMPARE(e.r.statusTimes, (std::vector<uint32_t>{1000, 5000, 6000, 10000, 11000, 15000}));
        QCOMPARE(e.r.progress, (QList<int>{0, 0, 0}));
        // The last run's end restarts the module: reset held 300 ms with the boot pin low.
        QCOMPARE(e.r.sleeps, (std::vector<uint32_t>{500, 500, 500, 500, 500, 500, 300}));
        QCOMPARE(e.st.written, (std::vector<uint8_t>{0x7F, 0x7F, 0x7F}));
        // Every run opens the port, resets the chip into its bootloader and closes the
        // port again; the last one restarts the module into its program first.
        std::vector<std::vector<std::string>> runs(1);
        for (const std::string &call : e.st.calls) {
            runs.back().push_back(call);
            if (call == "close")
                runs.emplace_back();
        }
        QCOMPARE(runs.size(), size_t(4));
        QVERIFY(runs.back().empty());
        const std::vector<std::string> lines = {"dtr:1", "rts:1", "dtr:0"};
        QCOMPARE(runs[0].front(), std::string("open:/dev/ttyS0"));
        QVERIFY(std::search(runs[0].begin(), runs[0].end(), lines.begin(), lines.end()) != runs[0].end());
        QCOMPARE(runs[1], runs[0]);
        std::vector<std::string> last = runs[0];
        last.insert(last.end() - 1, {"dtr:1", "rts:0", "dtr:0"});
        QCOMPARE(runs[2], last);
        QVERIFY(!e.driver.IsOpen());
        QVERIFY(!e.engine.OvertimeT.isActive() && !e.engine.Timer5.isActive());
        QCOMPARE(e.engine.Core().IspState(), 1);
    }

    // A second press during a run: the port is still open, the line sequence blocks
    // for 1 s, and the running time-out keeps its phase, so its tick that fell due
    // in the wait comes at once, counted from the fresh count of 2.
    void pressDuringARunKeepsTheTimeOutPhase()
    {
        EngineOnFakePort e;
        e.engine.Start();  // sync at 1000, time-out ticks due at 2000, 3000, ...
        e.r.now = 1500;
        e.engine.Core().TimeOut(e.r.now);
        e.engine.Start();
        QCOMPARE(e.r.now, 2500u);
        QCOMPARE(e.engine.Core().OvertimeCount(), uint8_t(2));
        ++e.r.now;
        e.engine.Core().TimeOut(e.r.now);
        QCOMPARE(e.engine.Core().OvertimeCount(), uint8_t(3));
        const QString failed = QStringLiteral("连机失败！请检查通信线。");
        while (!e.r.statuses.contains(failed) && e.r.now < 10000) {
            ++e.r.now;
            e.engine.Core().TimeOut(e.r.now);
        }
        // The run ends on the fourth tick after the press; the next starts after its own line sequence.
        QCOMPARE(e.r.statuses, (QStringList{"正在查找设备。。。", "正在查找设备。。。", failed, "正在查找设备。。。"}));
        QCOMPARE(e.r.statusTimes, (std::vector<uint32_t>{1000, 2500, 5000, 6000}));
        QCOMPARE(e.st.written, (std::vector<uint8_t>{0x7F, 0x7F, 0x7F}));
        QCOMPARE(std::count(e.st.calls.begin(), e.st.calls.end(), std::string("close")), 1);
    }

    // The core's time-out counts a tick only once one is due by the time handed
    // in; a tick held up by several intervals counts once, and the next is then
    // due a whole interval after it. A run starts at 0 and sends its sync byte
    // after the 1 s line sequence, so the first tick is due at 2000 on a count of 2.
    void timeOutCountsDueTicks_data()
    {
        QTest::addColumn<QList<uint32_t>>("times");
        QTest::addColumn<int>("count");
        QTest::newRow("not yet due") << QList<uint32_t>{1999} << 2;
        QTest::newRow("due") << QList<uint32_t>{2000} << 3;
        QTest::newRow("twice at one time") << QList<uint32_t>{2000, 2000} << 3;
        QTest::newRow("the next before its interval") << QList<uint32_t>{2000, 2999} << 3;
        QTest::newRow("the next after its interval") << QList<uint32_t>{2000, 3000} << 4;
        QTest::newRow("late by two intervals") << QList<uint32_t>{4500} << 3;
        QTest::newRow("late, then the old phase") << QList<uint32_t>{4500, 5000} << 3;
        QTest::newRow("late, then a new interval") << QList<uint32_t>{4500, 5500} << 4;
    }
    void timeOutCountsDueTicks()
    {
        QFETCH(QList<uint32_t>, times);
        QFETCH(int, count);
        EngineOnFakePort e;
        e.engine.Start();
        QCOMPARE(e.r.now, 1000u);
        QCOMPARE(e.engine.Core().TimeOutDue(), 2000u);
        for (const uint32_t t : times)
            e.engine.Core().TimeOut(t);
        QCOMPARE(int(e.engine.Core().OvertimeCount()), count);
    }

    // Every state's reply check. The run is brought to the state by the good replies,
    // with one unanswered second in every state on the way and in this one; then the
    // row's reply comes in, followed by `ticks` further seconds. States 9 and 10 do
    // not reset the time-out count, so their allowance is what state 8 left.
    void replyOfEachState_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<Bytes>("reply");
        QTest::addColumn<int>("ticks");
        QTest::addColumn<Bytes>("sends");
        QTest::addColumn<int>("next");
        QTest::addColumn<QStringList>("shown");
        QTest::addColumn<int>("rxLeft");
        QTest::addColumn<int>("overtime");
        QTest::addColumn<int>("retries");
        QTest::addColumn<bool>("running");

        const QByteArray image = OneBlockImage();
        const Bytes block(image.begin(), image.end());
        const uint8_t blockXor = stm32::Xor(block.data(), block.size(), 0xFF);
        const Bytes goodSends[TUpdateCore::kStates + 1] = {
            {},
            {0x00, 0xFF},                    // Get
            {0x02, 0xFD},                    // Get ID
            {0x11, 0xEE},                    // Read Memory
            {0x1F, 0xFF, 0xF7, 0xE0, 0xF7},  // the flash-size address
            {0x03, 0xFC},                    // four bytes
            {0x43, 0xBC},                    // Erase Memory
            {0x00, 0x00, 0x00},              // one page: page 0
            {0x31, 0xCE},                    // Write Memory
            {0x08, 0x00, 0x00, 0x00, 0x08},  // the flash base
            Cat({{0xFF}, block, {blockXor}}),
            {},
        };
        const QStringList goodShown[TUpdateCore::kStates + 1] = {
            {}, {"已成功连接"},   {"Boot:2.2"},   {}, {}, {}, {}, {"正在擦除。。。"}, {},
            {}, {"写进度: 100%"}, {"上载完成！"},
        };
        // The time-out count once the state has waited its one second: a run starts
        // at 2, states 1 ... 8 reset it when they act, 9 and 10 do not.
        const int waited[TUpdateCore::kStates + 1] = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 2, 3};
        const QStringList noContact{"无法和设备通讯，请重新尝试"};
        const QStringList timedOut{"连机失败！请检查通信线。", "正在查找设备。。。"};
        const uint8_t nack = stm32::kNack;

        for (int s = 1; s <= TUpdateCore::kStates; ++s) {
            const Bytes &good = kGoodReply[s];
            const QString at = QStringLiteral("state %1 ").arg(s);
            const int ticksLeft = int(Isp::kOvertimeLimit) + 1 - waited[s];
            const bool last = s == TUpdateCore::kStates;
            const int after = last ? 1 : s + 1;
            const int overtimeAfter = s <= 8 ? 0 : waited[s];
            const QStringList rejected = s == 1 ? noContact : QStringList{};
            QTest::newRow(qPrintable(at + "good"))
                << s << good << 0 << goodSends[s] << after << goodShown[s] << 0 << overtimeAfter << 0 << !last;
            QTest::newRow(qPrintable(at + "NACK"))
                << s << With(good, 0, nack) << 0 << Bytes{} << s << rejected << 0 << waited[s] << 0 << true;
            if (good.size() == 1)
                QTest::newRow(qPrintable(at + "wrong byte"))
                    << s << Bytes{0x00} << 0 << Bytes{} << s << rejected << 0 << waited[s] << 0 << true;
            else
                QTest::newRow(qPrintable(at + "short")) << s << Short(good) << 0 << Bytes{} << s << QStringList{}
                                                        << int(good.size()) - 1 << waited[s] << 0 << true;
            QTest::newRow(qPrintable(at + "silence")) << s << Bytes{} << ticksLeft << Bytes{0x7F} << 1 << timedOut << 0
                                                      << int(Isp::kOvertimeStart) << 1 << true;
        }
        // The sync answer is judged by the last byte received.
        QTest::newRow("state 1 noise, then ACK")
            << 1 << Bytes{0x00, 0x79} << 0 << goodSends[1] << 2 << goodShown[1] << 0 << 0 << 0 << true;
        QTest::newRow("state 1 ACK, then noise")
            << 1 << Bytes{0x79, 0x00} << 0 << Bytes{} << 1 << noContact << 0 << waited[1] << 0 << true;
        // The positions the check names.
        const Bytes &get = kGoodReply[2];
        const Bytes &getId = kGoodReply[3];
        QTest::newRow("state 2 command count not 11")
            << 2 << With(get, 1, 0x0C) << 0 << Bytes{} << 2 << QStringList{} << 0 << waited[2] << 0 << true;
        QTest::newRow("state 2 first command not Get")
            << 2 << With(get, 3, 0x01) << 0 << Bytes{} << 2 << QStringList{} << 0 << waited[2] << 0 << true;
        QTest::newRow("state 2 closing NACK")
            << 2 << With(get, 14, nack) << 0 << Bytes{} << 2 << QStringList{} << 0 << waited[2] << 0 << true;
        QTest::newRow("state 3 ID length not 2")
            << 3 << With(getId, 1, 0x02) << 0 << Bytes{} << 3 << QStringList{} << 0 << waited[3] << 0 << true;
        QTest::newRow("state 3 closing NACK")
            << 3 << With(getId, 4, nack) << 0 << Bytes{} << 3 << QStringList{} << 0 << waited[3] << 0 << true;
        // Bytes beyond the awaited ones are dropped with the reply, which is judged by its positions.
        QTest::newRow("state 2 extra bytes")
            << 2 << Cat({get, {0x79, 0x42}}) << 0 << goodSends[2] << 3 << goodShown[2] << 0 << 0 << 0 << true;
        QTest::newRow("state 3 extra bytes")
            << 3 << Cat({getId, {0x1F}}) << 0 << goodSends[3] << 4 << QStringList{} << 0 << 0 << 0 << true;
        QTest::newRow("state 6 ACK, data not looked at") << 6 << Bytes{0x79, 0x1F, 0x1F, 0x1F, 0x1F} << 0
                                                         << goodSends[6] << 7 << QStringList{} << 0 << 0 << 0 << true;
    }

    void replyOfEachState()
    {
        QFETCH(int, state);
        QFETCH(Bytes, reply);
        QFETCH(int, ticks);
        QFETCH(Bytes, sends);
        QFETCH(int, next);
        QFETCH(QStringList, shown);
        QFETCH(int, rxLeft);
        QFETCH(int, overtime);
        QFETCH(int, retries);
        QFETCH(bool, running);

        const TemporaryImage file(OneBlockImage());
        EngineOnFakePort e;
        e.engine.SetImageLoader([&] { return LoadFirmwareImageFrom(file.path()); });
        e.engine.Start();
        for (int s = 1; s < state; ++s) {
            e.engine.OvertimeTTimer();
            e.arrive(kGoodReply[s]);
        }
        QCOMPARE(e.engine.Core().IspState(), state);
        e.engine.OvertimeTTimer();
        e.st.written.clear();
        const qsizetype shownBefore = e.r.statuses.size();

        e.arrive(reply);
        for (int tick = 0; tick < ticks; ++tick)
            e.engine.OvertimeTTimer();

        QCOMPARE(e.st.written, sends);
        QCOMPARE(e.engine.Core().IspState(), next);
        QCOMPARE(e.r.statuses.mid(shownBefore), shown);
        QCOMPARE(int(e.driver.RxCount), rxLeft);
        QCOMPARE(int(e.engine.Core().OvertimeCount()), overtime);
        QCOMPARE(int(e.engine.Core().RetryCount()), retries);
        QCOMPARE(e.engine.Timer5.isActive(), running);
        QCOMPARE(e.engine.OvertimeT.isActive(), running);
    }

    void portThatWillNotOpen_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("devicePath");
        QTest::addColumn<std::string>("opened");
        QTest::addColumn<int>("comNumber");
        QTest::newRow("COM3") << 2 << QString() << std::string("open:/dev/ttyUSB0") << 3;
        QTest::newRow("COM8") << 7 << QString() << std::string("open:/dev/ttyACM1") << 8;
        QTest::newRow("nothing selected") << -1 << QString() << std::string("open:/dev/ttyS0") << 1;
        QTest::newRow("past the last entry") << 9 << QString() << std::string("open:/dev/ttyACM1") << 8;
        QTest::newRow("device path") << 0 << QString("/dev/ttyAMA0") << std::string("open:/dev/ttyAMA0") << 1;
    }

    void portThatWillNotOpen()
    {
        QFETCH(int, index);
        QFETCH(QString, devicePath);
        QFETCH(std::string, opened);
        QFETCH(int, comNumber);
        EngineOnFakePort e;
        e.st.openFails = true;
        e.engine.SetPortIndex(index);
        e.engine.SetDevicePath(devicePath.toStdString());
        e.engine.Start();
        QCOMPARE(e.st.calls, std::vector<std::string>{opened});
        QCOMPARE(e.r.portFailures.size(), 1);
        QCOMPARE(e.r.portFailures[0].first, comNumber);
        QCOMPARE(e.r.portFailures[0].second, QString::fromStdString(opened.substr(5)));
        QCOMPARE(e.r.outcomes, QList<TUpdateOutcome>{TUpdateOutcome::PortNotOpened});
        QVERIFY(e.r.statuses.isEmpty());
        QVERIFY(e.r.sleeps.empty());
        QVERIFY(!e.engine.OvertimeT.isActive() && !e.engine.Timer5.isActive());
    }

    // A reply is acted on from the serial component's receive path, with no tick
    // of Timer5 in between; a reply that is not complete yet still waits.
    void replyIsAnsweredWhenItIsIn_data()
    {
        using Chunks = QList<std::vector<uint8_t>>;
        using Sends = QList<std::vector<uint8_t>>;
        QTest::addColumn<int>("state");
        QTest::addColumn<Chunks>("chunks");
        QTest::addColumn<Sends>("sends");  // what goes out after each chunk
        QTest::addColumn<int>("nextState");
        const std::vector<uint8_t> get = {0x79, 0x0B, 0x22, 0x00, 0x01, 0x02, 0x11, 0x21,
                                          0x31, 0x43, 0x63, 0x73, 0x82, 0x92, 0x79};
        QTest::newRow("sync answer") << 1 << Chunks{{0x79}} << Sends{{0x00, 0xFF}} << 2;
        QTest::newRow("Get reply in three pieces") << 2
                                                   << Chunks{{get.begin(), get.begin() + 4},
                                                             {get.begin() + 4, get.begin() + 14},
                                                             {get.begin() + 14, get.end()}}
                                                   << Sends{{}, {}, {0x02, 0xFD}} << 3;
        QTest::newRow("Get ID reply, ACK late")
            << 3 << Chunks{{0x79, 0x01, 0x04}, {0x10, 0x79}} << Sends{{}, {0x11, 0xEE}} << 4;
        QTest::newRow("ACK of the data block") << 8 << Chunks{{0x79}} << Sends{{0x31, 0xCE}} << 9;
        QTest::newRow("NACK sends nothing") << 8 << Chunks{{0x1F}} << Sends{{}} << 8;
    }

    void replyIsAnsweredWhenItIsIn()
    {
        using Chunks = QList<std::vector<uint8_t>>;
        using Sends = QList<std::vector<uint8_t>>;
        QFETCH(int, state);
        QFETCH(Chunks, chunks);
        QFETCH(Sends, sends);
        QFETCH(int, nextState);
        EngineOnFakePort e;
        e.engine.Start();
        QVERIFY(e.engine.Timer5.isActive());
        QSignalSpy ticks(&e.engine.Timer5, &QTimer::timeout);
        e.engine.Core().JumpToStateForTest(state);
        for (int i = 0; i < chunks.size(); ++i) {
            e.st.written.clear();
            e.arrive(chunks[i]);
            QCOMPARE(e.st.written, sends[i]);
        }
        QCOMPARE(e.engine.Core().IspState(), nextState);
        QCOMPARE(ticks.count(), 0);
    }

    // A receiver of a status text that runs the event loop may let the next reply in
    // while the step that sent the request is still running: that reply is answered
    // after the step, in the state the step left, not inside it.
    void noStepInsideAStep()
    {
        EngineOnFakePort e;
        e.engine.Start();
        int nested = 0;
        connect(&e.engine, &TUpdateEngine::noticed, this, [&](TUpdateNotice notice, int value) {
            const QString text = UpdateStatusText(notice, value);
            if (text != QStringLiteral("已成功连接") || nested++)
                return;
            e.arrive(kGoodReply[2]);
        });
        e.st.written.clear();
        e.arrive({0x79});
        // Get for the sync answer, Get ID for the Get reply: never a second Get.
        QCOMPARE(e.st.written, (std::vector<uint8_t>{0x00, 0xFF, 0x02, 0xFD}));
        QCOMPARE(e.engine.Core().IspState(), 3);
        QCOMPARE(e.r.statuses.mid(1), (QStringList{"已成功连接", "Boot:2.2"}));
    }

    // The status line follows the request: in state 2 the version is shown once the
    // Get ID request has gone out.
    void versionIsShownAfterTheGetIdRequest()
    {
        EngineOnFakePort e;
        std::vector<uint8_t> sentBeforeVersion;
        connect(&e.engine, &TUpdateEngine::noticed, this, [&](TUpdateNotice notice, int value) {
            const QString text = UpdateStatusText(notice, value);
            if (text.startsWith(QStringLiteral("Boot:")))
                sentBeforeVersion = e.st.written;
        });
        e.engine.Start();
        e.engine.Core().JumpToStateForTest(2);
        e.st.written.clear();
        e.arrive({0x79, 0x0B, 0x1A, 0x00, 0x01, 0x02, 0x11, 0x21, 0x31, 0x43, 0x63, 0x73, 0x82, 0x92, 0x79});
        QCOMPARE(e.r.statuses.last(), QString("Boot:1.10"));
        QCOMPARE(sentBeforeVersion, (std::vector<uint8_t>{0x02, 0xFD}));
    }

    // The 1 s of the time-out is meant as one second: Qt's coarse timers may fire up to 5 % early.
    void timersArePrecise()
    {
        EngineOnFakePort e;
        QCOMPARE(e.engine.OvertimeT.timerType(), Qt::PreciseTimer);
        QCOMPARE(e.engine.OvertimeT.interval(), 1000);
        QCOMPARE(e.engine.Timer5.timerType(), Qt::PreciseTimer);
        QCOMPARE(e.engine.Timer5.interval(), 3);
    }

    // The last block leaves in one write: through a USB adapter every write is a
    // transfer of its own, and the chip expects count byte, data and checksum back
    // to back. A receiver of the block's progress may run the event loop, in which
    // a second press or the time-out's ticks come due. They run once the write
    // step has ended: the new run's sync byte follows the block, and the chip's
    // answer to it is taken as that, never as the ACK of the last block.
    void lastBlock_data()
    {
        QTest::addColumn<Inside>("inside");
        QTest::newRow("nothing comes due") << Inside::Nothing;
        QTest::newRow("second press") << Inside::Press;
        QTest::newRow("time-out ending the run") << Inside::TimeOut;
    }
    void lastBlock()
    {
        QFETCH(Inside, inside);
        const TemporaryImage file(OneBlockImage());
        EngineOnFakePort e;
        e.engine.SetImageLoader([&] { return LoadFirmwareImageFrom(file.path()); });
        e.engine.Start();
        for (int s = 1; s < 10; ++s)
            e.arrive(kGoodReply[s]);
        QCOMPARE(e.engine.Core().IspState(), 10);
        bool spun = false;
        connect(&e.engine, &TUpdateEngine::progressChanged, this, [&](int percent) {
            if (percent != 100 || spun || inside == Inside::Nothing)
                return;
            spun = true;
            const bool press = inside == Inside::Press;
            const int entries = press ? 1 : int(Isp::kOvertimeLimit) + 1 - int(e.engine.Core().OvertimeCount());
            for (int i = 0; i < entries; ++i)
                QTimer::singleShot(0, &e.engine, [&] { press ? e.engine.Start() : e.engine.OvertimeTTimer(); });
            QCoreApplication::processEvents();
        });
        e.st.calls.clear();
        e.st.written.clear();
        e.arrive(kGoodReply[10]);
        const size_t frame = 1 + stm32::kMaxTransferBytes + 1;
        QCOMPARE(e.st.calls.front(), "write:" + std::to_string(frame));
        if (inside == Inside::Nothing) {
            QCOMPARE(e.st.calls.size(), size_t(1));
            QCOMPARE(e.engine.Core().IspState(), 11);
            return;
        }
        QVERIFY(spun);
        QCOMPARE(e.engine.Core().IspState(), 1);
        QCOMPARE(e.st.written.size(), frame + 1);
        QCOMPARE(e.st.written.back(), uint8_t(stm32::kSync));

        e.st.written.clear();
        e.arrive({0x79});
        QCOMPARE(e.engine.Core().IspState(), 2);
        QCOMPARE(e.st.written, (std::vector<uint8_t>{0x00, 0xFF}));
        QVERIFY(!e.r.statuses.contains("上载完成！"));
        QCOMPARE(e.r.statuses.last(), QString("已成功连接"));
        QVERIFY(e.r.outcomes.isEmpty());
        QVERIFY(e.engine.OvertimeT.isActive() && e.engine.Timer5.isActive());
    }

    // A second press in the write loop: the port stays open and takes the line
    // settings anew, the line sequence and the sync byte follow, the progress bar
    // keeps its place, and a late answer to the old run is judged as the sync answer.
    void pressDuringTheWriteLoop_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<Bytes>("late");
        QTest::addColumn<int>("next");
        QTest::newRow("state 8, late ACK") << 8 << Bytes{0x79} << 2;
        QTest::newRow("state 9, late ACK") << 9 << Bytes{0x79} << 2;
        QTest::newRow("state 10, late NACK") << 10 << Bytes{0x1F} << 1;
    }
    void pressDuringTheWriteLoop()
    {
        QFETCH(int, state);
        QFETCH(Bytes, late);
        QFETCH(int, next);
        QByteArray image = OneBlockImage();
        image += OneBlockImage();  // two blocks: the first one puts the bar at 50
        const TemporaryImage file(image);
        EngineOnFakePort e;
        e.engine.SetImageLoader([&] { return LoadFirmwareImageFrom(file.path()); });
        e.engine.Start();
        for (int s = 1; s <= 10; ++s)
            e.arrive(kGoodReply[s]);
        for (int s = 8; s < state; ++s)
            e.arrive(kGoodReply[s]);
        QCOMPARE(e.engine.Core().IspState(), state);
        QCOMPARE(e.engine.Core().Progress(), 50);
        const qsizetype progressReports = e.r.progress.size();

        // Bytes of the old run still waiting are dropped before the line sequence.
        e.driver.RxBuffer[0] = 0x79;
        e.driver.RxCount = 1;
        int waitingAtTheSequence = -1;
        e.engine.SetSleep([&](uint32_t ms) {
            if (waitingAtTheSequence < 0)
                waitingAtTheSequence = e.driver.RxCount;
            e.r.now += ms;
        });
        e.st.calls.clear();
        e.st.written.clear();
        e.engine.Start();
        QCOMPARE(waitingAtTheSequence, 0);
        QVERIFY(!e.st.calls.empty());
        QVERIFY(std::count(e.st.calls.begin(), e.st.calls.end(), std::string("apply")) >= 1);
        QCOMPARE(e.st.calls.front(), std::string("apply"));
        const std::vector<std::string> sequence = {"dtr:1", "rts:1", "dtr:0", "write:1"};
        QVERIFY(std::equal(sequence.rbegin(), sequence.rend(), e.st.calls.rbegin()));
        // Each setting taken anew purges the line, so what the old run left on it
        // is gone before the sequence starts; the port is neither closed nor opened.
        QCOMPARE(e.st.calls[e.st.calls.size() - sequence.size() - 1], std::string("purge:1,1"));
        // Each setting taken anew also drops both modem lines, together, as an open does.
        for (const std::string &call : e.st.calls)
            QVERIFY2(call == "apply" || call == "purge:1,1" || call == "drop:dtr,rts" ||
                         std::find(sequence.begin(), sequence.end(), call) != sequence.end(),
                     call.c_str());
        QCOMPARE(e.st.applied.back().baud, 115200u);
        QCOMPARE(e.st.written, std::vector<uint8_t>{stm32::kSync});
        QCOMPARE(e.engine.Core().IspState(), 1);
        QCOMPARE(e.engine.Core().OvertimeCount(), uint8_t(Isp::kOvertimeStart));
        QCOMPARE(e.r.progress.size(), progressReports);
        QCOMPARE(e.engine.Core().Progress(), 50);

        e.st.written.clear();
        e.arrive(late);
        QCOMPARE(e.engine.Core().IspState(), next);
        QCOMPARE(e.st.written, next == 2 ? (std::vector<uint8_t>{0x00, 0xFF}) : std::vector<uint8_t>{});
        QCOMPARE(e.r.statuses.last(), QString(next == 2 ? "已成功连接" : "无法和设备通讯，请重新尝试"));
        QCOMPARE(e.engine.Core().Progress(), 50);
    }

    // The page list names one page more than the whole pages the image fills, and
    // stays below the global-erase code at the largest image taken.
    void pageListOfTheEraseStep_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<Bytes>("pageList");
        QTest::newRow("1 KiB") << 1024 << Bytes{0x01, 0x00, 0x01, 0x00};
        QTest::newRow("2 KiB") << 2048 << Bytes{0x02, 0x00, 0x01, 0x02, 0x01};
        Bytes largest{0xFE};
        for (int page = 0; page <= 0xFE; ++page)
            largest.push_back(uint8_t(page));
        largest.push_back(0x01);  // 0xFE ^ 0x00 ^ ... ^ 0xFE
        QTest::newRow("largest image") << int(kFirmwareImageMaxBytes) << largest;
    }
    void pageListOfTheEraseStep()
    {
        QFETCH(int, size);
        QFETCH(Bytes, pageList);
        QByteArray image(size, 0);
        for (int i = 0; i < size; ++i)
            image[i] = char(i * 31 + 7);
        const TemporaryImage file(image);
        EngineOnFakePort e;
        e.engine.SetImageLoader([&] { return LoadFirmwareImageFrom(file.path()); });
        e.engine.Start();
        for (int s = 1; s < 7; ++s)
            e.arrive(kGoodReply[s]);
        e.st.written.clear();
        e.arrive(kGoodReply[7]);
        QCOMPARE(e.st.written, pageList);
        QCOMPARE(e.engine.Core().IspState(), 8);
        QCOMPARE(e.engine.Core().BytesLeft(), size);
    }

    void imageThatWillNotLoadWaitsForTheTimeOut()
    {
        EngineOnFakePort e;
        int loads = 0;
        e.engine.SetImageLoader([&]() -> std::optional<QByteArray> {
            ++loads;
            return std::nullopt;
        });
        e.engine.Start();
        e.engine.Core().JumpToStateForTest(7);
        e.st.written.clear();
        e.arrive({0x79});
        QCOMPARE(loads, 1);
        QCOMPARE(e.engine.Core().IspState(), 7);
        QVERIFY(!e.engine.Timer5.isActive());
        QVERIFY(e.st.written.empty());
        QCOMPARE(e.engine.Core().OvertimeCount(), uint8_t(0));
        // With Timer5 stopped no step is due: further bytes are not looked at, and
        // the time-out runs its course.
        e.engine.OvertimeTTimer();
        e.engine.OvertimeTTimer();
        e.arrive({0x79});
        QCOMPARE(loads, 1);
        QCOMPARE(e.engine.Core().OvertimeCount(), uint8_t(2));
        QCOMPARE(e.driver.RxCount, uint16_t(1));
        for (int tick = 0; tick < 4; ++tick)
            e.engine.OvertimeTTimer();
        QCOMPARE(e.r.statuses.mid(1, 2), (QStringList{"连机失败！请检查通信线。", "正在查找设备。。。"}));
        QCOMPARE(e.engine.Core().IspState(), 1);
    }
};

QTEST_GUILESS_MAIN(TestUpdateEngine)
#include "tst_update_engine.moc"
