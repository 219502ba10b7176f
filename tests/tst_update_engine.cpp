// The update engine on its own, without a window: a whole update against the
// bootloader engine behind a platform double, the three runs of the time-out with
// the ticks and the waits handed in, and the report of a port that will not open.
#include "FakeSerialPort.h"
#include "FirmwareImage.h"
#include "PortNames.h"
#include "Stm32Bootloader.h"
#include "UpdateEngine.h"

#include <QSignalSpy>
#include <QTemporaryFile>
#include <QtTest>

Q_DECLARE_METATYPE(TUpdateOutcome)

namespace {

// The far end of the line is the chip's bootloader: what the engine writes is fed
// to it, and its answers are there for the next read.
class ChipPort final : public SerialPort {
public:
    explicit ChipPort(Stm32Bootloader &chip, std::vector<std::string> &calls) : chip_(chip), calls_(calls) {}
    bool open(const std::string &path) override
    {
        calls_.push_back("open:" + path);
        open_ = true;
        chip_.reset();  // the line sequence resets the chip into its bootloader
        return true;
    }
    void close() override
    {
        calls_.push_back("close");
        open_ = false;
    }
    bool isOpen() const override { return open_; }
    bool applySettings(const LineSettings &) override { return true; }
    void purge(bool, bool) override {}
    bool outputQueue(uint32_t &count) override
    {
        count = 0;
        return true;
    }
    int read(uint8_t *buffer, int size) override
    {
        const int n = std::min<int>(size, int(answers_.size()));
        std::copy_n(answers_.begin(), n, buffer);
        answers_.erase(answers_.begin(), answers_.begin() + n);
        return n;
    }
    int write(const uint8_t *data, int size, uint32_t) override
    {
        const std::vector<uint8_t> a = chip_.feed(data, size_t(size));
        answers_.insert(answers_.end(), a.begin(), a.end());
        return size;
    }
    void setDtr(bool on) override { calls_.push_back(std::string("dtr:") + (on ? "1" : "0")); }
    void setRts(bool on) override { calls_.push_back(std::string("rts:") + (on ? "1" : "0")); }

private:
    Stm32Bootloader &chip_;
    std::vector<std::string> &calls_;
    std::vector<uint8_t> answers_;
    bool open_ = false;
};

// What an engine reports, in order.
struct Reports {
    QStringList statuses;
    QList<int> progress;
    QList<TUpdateOutcome> outcomes;
    QList<QPair<int, QString>> portFailures;
    std::vector<uint32_t> sleeps;

    void watch(TUpdateEngine &engine)
    {
        QObject::connect(&engine, &TUpdateEngine::statusChanged, [this](const QString &t) { statuses << t; });
        QObject::connect(&engine, &TUpdateEngine::progressChanged, [this](int p) { progress << p; });
        QObject::connect(&engine, &TUpdateEngine::finished, [this](TUpdateOutcome o) { outcomes << o; });
        QObject::connect(&engine, &TUpdateEngine::portOpenFailed,
                         [this](int com, const QString &device) { portFailures.append({com, device}); });
        // The waits are recorded, not slept: nothing here takes real seconds.
        engine.SetSleep([this](uint32_t ms) { sleeps.push_back(ms); });
    }
};

} // namespace

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
        QCOMPARE(calls, (std::vector<std::string>{"open:/dev/ttyUSB2", "dtr:1", "rts:1", "dtr:0"}));
        // The ticks are handed in: no event loop runs in this test.
        for (int i = 0; i < 1000 && r.outcomes.isEmpty(); ++i) {
            driver.PollReceive();
            engine.Timer5Timer();
        }
        QCOMPARE(r.outcomes, QList<TUpdateOutcome>{TUpdateOutcome::Done});
        QCOMPARE(r.sleeps, (std::vector<uint32_t>{500, 500, 300}));
        QCOMPARE(calls.back(), std::string("close"));
        QVERIFY(!engine.Timer5.isActive() && !engine.OvertimeT.isActive());
        QCOMPARE(engine.IspState, 1);

        const auto flash = chip.flash();
        QVERIFY(std::equal(image.cbegin(), image.cend(), flash.begin(),
                           [](char a, uint8_t b) { return uint8_t(a) == b; }));
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
        QCOMPARE(engine.Progress(), 0);
    }

    void threeRunsEndTheStart()
    {
        FakeSerialState st;
        TQRTCommDriver driver(nullptr, std::make_unique<FakeSerialPort>(st));
        TUpdateEngine engine(driver);
        Reports r;
        r.watch(engine);
        engine.Start();
        QCOMPARE(engine.OvertimeCount, uint8_t(2));
        for (int run = 1; run <= 3; ++run) {
            QCOMPARE(engine.RetryCount, uint8_t(run - 1));
            // A fresh run has four ticks for the answer to its sync byte.
            for (int tick = 0; tick < 3; ++tick)
                engine.OvertimeTTimer();
            QVERIFY(engine.OvertimeT.isActive());
            QCOMPARE(r.statuses.last(), QString("正在查找设备。。。"));
            engine.OvertimeTTimer();
        }
        QCOMPARE(r.outcomes, QList<TUpdateOutcome>{TUpdateOutcome::LinkFailed});
        QCOMPARE(engine.RetryCount, uint8_t(3));
        QCOMPARE(r.statuses, (QStringList{"正在查找设备。。。", "连机失败！请检查通信线。", "正在查找设备。。。",
                                          "连机失败！请检查通信线。", "正在查找设备。。。", "连机失败！请检查通信线。"}));
        QCOMPARE(r.progress, (QList<int>{0, 0, 0}));
        QCOMPARE(r.sleeps, (std::vector<uint32_t>{500, 500, 500, 500, 500, 500}));
        QCOMPARE(std::count(st.calls.begin(), st.calls.end(), std::string("close")), 3);
        QVERIFY(!driver.IsOpen());
        QVERIFY(!engine.OvertimeT.isActive() && !engine.Timer5.isActive());
        QCOMPARE(st.written, (std::vector<uint8_t>{0x7F, 0x7F, 0x7F}));
    }

    void portThatWillNotOpen_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("devicePath");
        QTest::addColumn<std::string>("opened");
        QTest::addColumn<int>("comNumber");
        QTest::newRow("COM3") << 2 << QString() << std::string("open:/dev/ttyUSB0") << 3;
        QTest::newRow("COM8") << 7 << QString() << std::string("open:/dev/ttyACM1") << 8;
        QTest::newRow("nothing selected") << -1 << QString() << std::string("open:/dev/ttyS0") << 0;
        QTest::newRow("device path") << 0 << QString("/dev/ttyAMA0") << std::string("open:/dev/ttyAMA0") << 1;
    }

    void portThatWillNotOpen()
    {
        QFETCH(int, index);
        QFETCH(QString, devicePath);
        QFETCH(std::string, opened);
        QFETCH(int, comNumber);
        FakeSerialState st;
        st.openFails = true;
        TQRTCommDriver driver(nullptr, std::make_unique<FakeSerialPort>(st));
        TUpdateEngine engine(driver);
        Reports r;
        r.watch(engine);
        engine.SetPortIndex(index);
        engine.SetDevicePath(devicePath.toStdString());
        engine.Start();
        QCOMPARE(st.calls, std::vector<std::string>{opened});
        QCOMPARE(r.portFailures.size(), 1);
        QCOMPARE(r.portFailures[0].first, comNumber);
        QCOMPARE(r.portFailures[0].second, QString::fromStdString(opened.substr(5)));
        QCOMPARE(r.outcomes, QList<TUpdateOutcome>{TUpdateOutcome::PortNotOpened});
        QVERIFY(r.statuses.isEmpty());
        QVERIFY(r.sleeps.empty());
        QVERIFY(!engine.OvertimeT.isActive() && !engine.Timer5.isActive());
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
        QTest::newRow("Get reply in three pieces")
            << 2 << Chunks{{get.begin(), get.begin() + 4}, {get.begin() + 4, get.begin() + 14}, {get.begin() + 14, get.end()}}
            << Sends{{}, {}, {0x02, 0xFD}} << 3;
        QTest::newRow("Get ID reply, ACK late") << 3 << Chunks{{0x79, 0x01, 0x04}, {0x10, 0x79}}
                                                << Sends{{}, {0x11, 0xEE}} << 4;
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
        FakeSerialState st;
        TQRTCommDriver driver(nullptr, std::make_unique<FakeSerialPort>(st));
        TUpdateEngine engine(driver);
        Reports r;
        r.watch(engine);
        engine.Start();
        QVERIFY(engine.Timer5.isActive());
        QSignalSpy ticks(&engine.Timer5, &QTimer::timeout);
        engine.IspState = state;
        for (int i = 0; i < chunks.size(); ++i) {
            st.written.clear();
            st.reads.push_back(chunks[i]);
            driver.PollReceive();  // what the port's readable notice or poll does
            QCOMPARE(st.written, sends[i]);
        }
        QCOMPARE(engine.IspState, nextState);
        QCOMPARE(ticks.count(), 0);
    }

    // A receiver of a status text that runs the event loop may let the next reply in
    // while the step that sent the request is still running: that reply is answered
    // after the step, in the state the step left, not inside it.
    void noStepInsideAStep()
    {
        FakeSerialState st;
        TQRTCommDriver driver(nullptr, std::make_unique<FakeSerialPort>(st));
        TUpdateEngine engine(driver);
        Reports r;
        r.watch(engine);
        engine.Start();
        int nested = 0;
        connect(&engine, &TUpdateEngine::statusChanged, this, [&](const QString &text) {
            if (text != QStringLiteral("已成功连接") || nested++)
                return;
            st.reads.push_back({0x79, 0x0B, 0x22, 0x00, 0x01, 0x02, 0x11, 0x21, 0x31, 0x43, 0x63, 0x73, 0x82, 0x92, 0x79});
            driver.PollReceive();
        });
        st.written.clear();
        st.reads.push_back({0x79});
        driver.PollReceive();
        // Get for the sync answer, Get ID for the Get reply: never a second Get.
        QCOMPARE(st.written, (std::vector<uint8_t>{0x00, 0xFF, 0x02, 0xFD}));
        QCOMPARE(engine.IspState, 3);
        QCOMPARE(r.statuses.mid(1), (QStringList{"已成功连接", "Boot:2.2"}));
    }

    // The status line follows the request: in state 2 the version is shown once the
    // Get ID request has gone out.
    void versionIsShownAfterTheGetIdRequest()
    {
        FakeSerialState st;
        TQRTCommDriver driver(nullptr, std::make_unique<FakeSerialPort>(st));
        TUpdateEngine engine(driver);
        Reports r;
        r.watch(engine);
        std::vector<uint8_t> sentBeforeVersion;
        connect(&engine, &TUpdateEngine::statusChanged, this, [&](const QString &text) {
            if (text.startsWith(QStringLiteral("Boot:")))
                sentBeforeVersion = st.written;
        });
        engine.Start();
        engine.IspState = 2;
        st.written.clear();
        st.reads.push_back({0x79, 0x0B, 0x1A, 0x00, 0x01, 0x02, 0x11, 0x21, 0x31, 0x43, 0x63, 0x73, 0x82, 0x92, 0x79});
        driver.PollReceive();
        QCOMPARE(r.statuses.last(), QString("Boot:1.10"));
        QCOMPARE(sentBeforeVersion, (std::vector<uint8_t>{0x02, 0xFD}));
    }

    void imageThatWillNotLoadWaitsForTheTimeOut()
    {
        FakeSerialState st;
        TQRTCommDriver driver(nullptr, std::make_unique<FakeSerialPort>(st));
        TUpdateEngine engine(driver);
        Reports r;
        r.watch(engine);
        int loads = 0;
        engine.SetImageLoader([&] { ++loads; return false; });
        engine.Start();
        engine.IspState = 7;
        st.written.clear();
        st.reads.push_back({0x79});
        driver.PollReceive();
        QCOMPARE(loads, 1);
        QCOMPARE(engine.IspState, 7);
        QVERIFY(!engine.Timer5.isActive());
        QVERIFY(st.written.empty());
        QCOMPARE(engine.OvertimeCount, uint8_t(0));
        // With Timer5 stopped no step is due: further bytes are not looked at, and
        // the time-out runs its course.
        engine.OvertimeTTimer();
        engine.OvertimeTTimer();
        st.reads.push_back({0x79});
        driver.PollReceive();
        QCOMPARE(loads, 1);
        QCOMPARE(engine.OvertimeCount, uint8_t(2));
        QCOMPARE(driver.RxCount, uint16_t(1));
        for (int tick = 0; tick < 4; ++tick)
            engine.OvertimeTTimer();
        QCOMPARE(r.statuses.mid(1, 2), (QStringList{"连机失败！请检查通信线。", "正在查找设备。。。"}));
        QCOMPARE(engine.IspState, 1);
    }
};

QTEST_GUILESS_MAIN(TestUpdateEngine)
#include "tst_update_engine.moc"
