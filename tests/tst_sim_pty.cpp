// The simulated module on its own pty, driven by the tool's serial component and
// Modbus routines, as the tool's end-to-end tests will drive it.
#include "modbus/Frames.h"
#include "modbus/MODBUS_RTU.h"
#include "serial/Clock.h"
#include "serial/PortNames.h"
#include "serial/QRT_ComDrv.h"
#include "sim/Simulator.h"
#include "tests/support/ModbusBytes.h"
#include "tests/support/SimFixture.h"

#include <QElapsedTimer>
#include <QtTest>

#include <filesystem>
#include <memory>

using namespace talvex::sim;

namespace {

constexpr int kCom = 4;
constexpr int kReplyWaitMs = 1000;  // generous: a loaded machine may be slow, never the module early
constexpr int kSilenceMs = 250;     // long enough for any answer the module would give

SimOptions Options(SimMode mode, uint32_t watchdogMs, bool heartbeat)
{
    SimOptions o;
    o.com = kCom;
    o.mode = mode;
    o.watchdogMs = watchdogMs;
    o.heartbeat = heartbeat;
    return o;
}

// One simulator plus the tool's port on it.
struct Bench {
    SimFixture sim;
    TQRTCommDriver drv;

    explicit Bench(SimMode mode, uint32_t watchdogMs = ModuleCore::kDefaultWatchdogMs, bool heartbeat = true)
        : sim(Options(mode, watchdogMs, heartbeat))
    {
        drv.SetComPort(static_cast<TComPortNumber>(kCom - 1));
        drv.SetComPortSpeed(br57600);
        drv.SetComPortParity(ptEVEN);
    }

    bool open(TLinkMode mode = TLinkMode::PcUart, int station = 1)
    {
        SetModbusLink({&drv, [station] { return station; }, [mode] { return mode; }});
        return drv.Open();
    }

    // The tool's block read: SendReadRequest, then FetchRegisters on every poll,
    // for up to waitMs.
    bool readBlock(int address = 0, int count = 32, int waitMs = kReplyWaitMs)
    {
        SendReadRequest(address, count, kFnReadHoldingRegisters);
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < waitMs) {
            SleepMs(2);
            drv.PollReceive();
            if (FetchRegisters(0))
                return true;
        }
        return false;
    }

    // Raw bytes out; everything that comes back within `ms`.
    Bytes exchange(const Bytes &out, int ms)
    {
        drv.RxCount = 0;
        drv.SendData(out.data(), int32_t(out.size()));
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms) {
            SleepMs(2);
            drv.PollReceive();
        }
        return Bytes(drv.RxBuffer, drv.RxBuffer + drv.RxCount);
    }

    // Waits until `expected` bytes are in (or the time is up).
    Bytes collect(const Bytes &out, size_t expected)
    {
        drv.RxCount = 0;
        drv.SendData(out.data(), int32_t(out.size()));
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < kReplyWaitMs && drv.RxCount < expected) {
            SleepMs(2);
            drv.PollReceive();
        }
        return Bytes(drv.RxBuffer, drv.RxBuffer + drv.RxCount);
    }
};

bool WaitFor(const std::function<bool()> &condition, int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        if (condition())
            return true;
        SleepMs(5);
    }
    return condition();
}

}  // namespace

class TestSimPty : public QObject {
    Q_OBJECT

private slots:
    void blockReadOf32()
    {
        Bench b(SimMode::FixedPort);
        QVERIFY(b.open());
        QVERIFY(b.readBlock());
        QCOMPARE(int(RegisterMirror[28]), 150);
        for (int r : {8, 9, 10, 13, 30, 31})
            QCOMPARE(int(RegisterMirror[r]), 0);
        for (int r = 14; r <= 17; ++r)
            QCOMPARE(int(RegisterMirror[r]), 100);
        const int defaults[] = {1, 6, 3, 100, 3, 2};
        for (int i = 0; i < 6; ++i)
            QCOMPARE(int(RegisterMirror[21 + i]), defaults[i]);
        for (int r = 0; r < 8; ++r)
            QVERIFY(RegisterMirror[r] <= 4095);
        QVERIFY(b.sim->reg(kRegRepliesFixedPort) >= 1);
        QCOMPARE(b.sim->lastLineSpeed(), 57600u);
        QCOMPARE(b.sim->speedWarnings(), 0u);
    }

    void writeIsEchoedExactly()
    {
        Bench b(SimMode::FixedPort);
        QVERIFY(b.open());
        QVERIFY(WriteRegister(10, 100));
        QCOMPARE(int(b.sim->reg(10)), 100);
        const Bytes request = {0x01, 0x06, 0x00, 0x0A, 0x00, 0x64, 0xA8, 0x23};
        QCOMPARE(b.collect(request, 8), request);
        QVERIFY(b.readBlock());
        QCOMPARE(int(RegisterMirror[10]), 100);
        QCOMPARE(int(b.sim->outputSteps(0)), 100 * 100 / 25);
    }

    void addressesModulo500_data()
    {
        QTest::addColumn<int>("address");
        QTest::addColumn<int>("reg");
        QTest::newRow("510 is 10") << 510 << 10;
        QTest::newRow("2212 on a direct wire is 212") << 2212 << 212;
        QTest::newRow("1017 is 17") << 1017 << 17;
    }

    void addressesModulo500()
    {
        QFETCH(int, address);
        QFETCH(int, reg);
        Bench b(SimMode::FixedPort);
        QVERIFY(b.open());
        QVERIFY(WriteRegister(address, 777));
        QCOMPARE(int(b.sim->reg(uint32_t(reg))), 777);
        QVERIFY(b.readBlock(address - reg, 32));  // a block read from a multiple of 500 is registers 0 ... 31
        QCOMPARE(int(RegisterMirror[28]), 150);
    }

    void commitRule()
    {
        // The RS-485 port answers the station of register 21, so a restart shows whether it is in force.
        Bench b(SimMode::Rs485Port);
        QVERIFY(b.open(TLinkMode::PcUart, 1));
        const uint16_t settings[] = {7, 2, 3, 250, 5, 1};  // station 7, RS-485 kept at 57600
        QVERIFY(WriteRegister(20, 7196));
        for (int i = 0; i < 6; ++i)
            QVERIFY(WriteRegister(21 + i, settings[i]));
        // Without the commit code nothing is stored: a restart brings the defaults back.
        SleepMs(50);
        QVERIFY(!std::filesystem::exists(b.sim->settingsPath()));
        b.sim->powerCycle();
        QVERIFY(b.readBlock());
        QCOMPARE(int(RegisterMirror[21]), 1);
        QCOMPARE(int(RegisterMirror[20]), 0);

        QVERIFY(WriteRegister(20, 7196));
        for (int i = 0; i < 6; ++i)
            QVERIFY(WriteRegister(21 + i, settings[i]));
        QVERIFY(WriteRegister(27, 54484));
        QVERIFY(WaitFor([&] { return b.sim->reg(27) == 0; }, kReplyWaitMs));
        QVERIFY(b.readBlock());
        QCOMPARE(int(RegisterMirror[20]), 0);
        QCOMPARE(int(RegisterMirror[27]), 0);
        QVERIFY(std::filesystem::exists(b.sim->settingsPath()));
        // Station 7 acts only after the restart: station 1 still answers now.
        QCOMPARE(int(RegisterMirror[25]), 5);

        b.sim->powerCycle();
        QVERIFY(!b.readBlock(0, 32, kSilenceMs));  // station 1 is no longer the module's
        SetModbusLink({&b.drv, [] { return 7; }, [] { return TLinkMode::PcUart; }});
        // Its format (8 O 1) acts too: the tool at 8 E 1 gets no answer.
        QVERIFY(!b.readBlock(0, 32, kSilenceMs));
        b.drv.SetComPortParity(ptODD);
        QVERIFY(b.readBlock());
        for (int i = 0; i < 6; ++i)
            QCOMPARE(RegisterMirror[21 + i], settings[i]);
        QCOMPARE(int(b.sim->reg(kRegRepliesRs485Port)), 1);
    }

    void watchdogForcesOutputsToZero()
    {
        constexpr uint32_t kPeriodMs = 200;
        Bench b(SimMode::FixedPort, kPeriodMs);
        QVERIFY(b.open());
        QVERIFY(WriteRegister(10, 5000));
        QVERIFY(WriteRegister(11, 6000));
        QVERIFY(b.readBlock());  // within one period of a reply: still there
        QCOMPARE(int(RegisterMirror[10]), 5000);
        // No reply for two periods: the next check forces them to 0.
        QVERIFY(WaitFor([&] { return b.sim->reg(10) == 0 && b.sim->reg(11) == 0; }, 20 * kPeriodMs));
        QVERIFY(b.readBlock());
        QCOMPARE(int(RegisterMirror[10]), 0);
        QCOMPARE(int(RegisterMirror[11]), 0);
        QCOMPARE(int(RegisterMirror[14]), 100);
    }

    void plcCanUnlockThroughGateway()
    {
        Bench b(SimMode::Gateway);
        QVERIFY(b.open(TLinkMode::PlcCan));
        QVERIFY(b.readBlock());
        QVERIFY(RegisterMirror[29] != 6666);
        QVERIFY(!b.sim->fullAccess());
        // Outside the station window a write reaches nothing.
        QVERIFY(WriteRegister(50, 9));
        QCOMPARE(int(b.sim->reg(50)), 0);
        // The tool's handshake.
        QVERIFY(WriteRegister(0, 15420));
        QVERIFY(WriteRegister(1, 50115));
        QVERIFY(b.sim->fullAccess());
        QVERIFY(WaitFor([&] { return b.readBlock() && RegisterMirror[29] == 6666; }, 3000));
        QCOMPARE(int(RegisterMirror[28]), 150);
        QVERIFY(WriteRegister(50, 9));
        QCOMPARE(int(b.sim->reg(50)), 9);
        QVERIFY(WriteRegister(12, 4321));
        QCOMPARE(int(b.sim->reg(12)), 4321);
        // The gateway's heartbeat arrives in register 18 once a second.
        QVERIFY(WaitFor([&] { return b.sim->reg(18) >= 1 && b.sim->reg(19) == b.sim->reg(18) + 1; }, 3000));
        // A restart closes the window again.
        b.sim->powerCycle();
        QVERIFY(!b.sim->fullAccess());
        QCOMPARE(int(b.sim->reg(29)), 0);
    }

    void silence_data()
    {
        QTest::addColumn<Bytes>("request");
        Bytes badCrc = Frame(1, 6, 10, 5);
        badCrc[6] ^= 0x40;
        QTest::newRow("other station") << Frame(2, 3, 0, 32);
        QTest::newRow("station 0") << Frame(0, 6, 10, 5);
        QTest::newRow("bad CRC") << badCrc;
        QTest::newRow("function 4") << Frame(1, 4, 0, 8);
        QTest::newRow("half a frame") << Bytes{0x01, 0x03, 0x00, 0x00};
        QTest::newRow("garbage") << Bytes{0xFF, 0xFE, 0x00, 0x55, 0xAA, 0x01, 0x03, 0x99, 0x13, 0x11, 0x7F};
    }

    void silence()
    {
        QFETCH(Bytes, request);
        Bench b(SimMode::FixedPort);
        QVERIFY(b.open());
        QCOMPARE(b.exchange(request, kSilenceMs), Bytes{});
        QCOMPARE(int(b.sim->reg(10)), 0);
        // Still alive and in step: the next good request is answered.
        const Bytes write = Frame(1, 6, 10, 5);
        QCOMPARE(b.collect(write, 8), write);
    }

    void partialFrameDiscardedAfterGap()
    {
        Bench b(SimMode::FixedPort);
        QVERIFY(b.open());
        const Bytes write = Frame(1, 6, 10, 5);
        QCOMPARE(b.exchange(Bytes(write.begin(), write.begin() + 4), kSilenceMs), Bytes{});
        QCOMPARE(b.exchange(Bytes(write.begin() + 4, write.end()), kSilenceMs), Bytes{});
        QCOMPARE(b.collect(write, 8), write);
    }

    void faults_data()
    {
        QTest::addColumn<int>("silent");
        QTest::addColumn<int>("dropEvery");
        QTest::addColumn<int>("corruptEvery");
        QTest::addColumn<int>("noise");
        QTest::addColumn<QString>(
            "pattern");  // per write of four: e = echo, - = nothing, c = bad CRC, n = noise + echo
        QTest::newRow("silent") << 1 << 0 << 0 << 0 << "----";
        QTest::newRow("drop every 2nd") << 0 << 2 << 0 << 0 << "e-e-";
        QTest::newRow("corrupt every 3rd") << 0 << 0 << 3 << 0 << "eece";
        QTest::newRow("noise") << 0 << 0 << 0 << 3 << "nnnn";
    }

    void faults()
    {
        QFETCH(int, silent);
        QFETCH(int, dropEvery);
        QFETCH(int, corruptEvery);
        QFETCH(int, noise);
        QFETCH(QString, pattern);
        Bench b(SimMode::FixedPort);
        QVERIFY(b.open());
        FaultPlan plan;
        plan.silent = silent != 0;
        plan.dropEvery = uint32_t(dropEvery);
        plan.corruptEvery = uint32_t(corruptEvery);
        plan.noiseBytes = uint32_t(noise);
        b.sim->setFaults(plan);
        for (int i = 0; i < pattern.size(); ++i) {
            const Bytes write = Frame(1, 6, 10, uint16_t(i + 1));
            const QChar kind = pattern[i];
            const Bytes got = kind == '-' ? b.exchange(write, kSilenceMs)
                                          : b.collect(write, kind == 'n' ? 8 + size_t(noise) : 8);
            if (kind == '-') {
                QCOMPARE(got, Bytes{});
            } else if (kind == 'e') {
                QCOMPARE(got, write);
            } else if (kind == 'c') {
                QCOMPARE(got.size(), size_t{8});
                QVERIFY(!CrcMatches(got.data(), got.size()));
                QCOMPARE(Bytes(got.begin(), got.begin() + 6), Bytes(write.begin(), write.begin() + 6));
            } else {
                QCOMPARE(got.size(), 8 + size_t(noise));
                QCOMPARE(Bytes(got.end() - 8, got.end()), write);
            }
        }
        b.sim->setFaults(FaultPlan{});
        QVERIFY(WriteRegister(10, 99));
    }

    void lateAnswer()
    {
        constexpr uint32_t kDelayMs = 300;
        Bench b(SimMode::FixedPort);
        QVERIFY(b.open());
        FaultPlan plan;
        plan.delayMs = kDelayMs;
        b.sim->setFaults(plan);
        const Bytes write = Frame(1, 6, 10, 5);
        QElapsedTimer t;
        t.start();
        QCOMPARE(b.collect(write, 8), write);
        QVERIFY2(t.elapsed() >= kDelayMs - 5, qPrintable(QString::number(t.elapsed())));
    }

    void reopenManyTimes()
    {
        Bench b(SimMode::FixedPort);
        for (int i = 0; i < 5; ++i) {
            QVERIFY(b.open());
            QVERIFY(WriteRegister(12, uint16_t(100 + i)));
            b.drv.Close();
            SleepMs(20);
        }
        QCOMPARE(int(b.sim->reg(12)), 104);
        QVERIFY(b.open());
        QVERIFY(b.readBlock());
    }

    void wrongSpeedIsWarnedAndUnanswered()
    {
        Bench b(SimMode::FixedPort);
        b.drv.SetComPortSpeed(br9600);
        QVERIFY(b.open());
        QCOMPARE(b.exchange(Frame(1, 6, 10, 5), kSilenceMs), Bytes{});
        QCOMPARE(b.sim->lastLineSpeed(), 9600u);
        QVERIFY(b.sim->speedWarnings() >= 1);
        b.drv.SetComPortSpeed(br57600);
        QVERIFY(WriteRegister(10, 5));
    }

    void commandsReachTheModule()
    {
        Bench b(SimMode::FixedPort);
        QCOMPARE(b.sim->command("set 212 4000"), std::string("ok"));
        QCOMPARE(b.sim->command("get 712"), std::string("712 4000"));
        QCOMPARE(b.sim->command("drop 2"), std::string("ok"));
        QCOMPARE(b.sim->faults().dropEvery, 2u);
        QCOMPARE(b.sim->command("faults off"), std::string("ok"));
        QCOMPARE(b.sim->faults().dropEvery, 0u);
        QVERIFY(b.sim->command("set 1").rfind("error", 0) == 0);
        QVERIFY(b.sim->command("get 70000").rfind("error", 0) == 0);
        QVERIFY(b.sim->command("frobnicate").rfind("error", 0) == 0);
        QCOMPARE(b.sim->command("set 10 9"), std::string("ok"));
        QCOMPARE(b.sim->command("restart"), std::string("ok"));
        QCOMPARE(b.sim->command("get 10"), std::string("10 0"));
        QCOMPARE(b.sim->command("get 212"), std::string("212 0"));
    }
};

QTEST_GUILESS_MAIN(TestSimPty)
#include "tst_sim_pty.moc"
