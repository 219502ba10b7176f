// Two Modbus masters in one process, each on its own port to its own simulated
// module, used in turn: every read fills its own master's mirror with its own
// module's registers, every write reaches its own module, and what one master
// learns of its line is its own. The main window's master is left alone.
#include "modbus/MODBUS_RTU.h"
#include "modbus/ModbusMaster.h"
#include "modbus/ModuleConfig.h"
#include "modbus/PollCycle.h"
#include "serial/Clock.h"
#include "serial/QRT_ComDrv.h"
#include "tests/support/SimFixture.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QtTest>

#include <array>
#include <functional>
#include <memory>

using namespace talvex::sim;

namespace {

constexpr int kReplyWaitMs = 2000;  // generous: a loaded machine may be slow, never the module early
constexpr int kPollsWanted = 3;     // exchanges each master makes in the timer-driven run

// One port: a simulated module, the tool's serial component on its pty, and the
// master that talks through it.
struct Slot {
    SimFixture sim;
    TQRTCommDriver drv;
    TModbusMaster master;

    Slot(int com, uint16_t version, bool echo) : sim(SimMode::FixedPort, com, version)
    {
        sim->setEcho(echo);
        drv.SetDevicePath(sim->linkPath());
        drv.SetComPortSpeed(br57600);
        drv.SetComPortParity(ptEVEN);
    }
    bool open()
    {
        if (!drv.Open())
            return false;
        master.SetLink(FixedModbusLink(drv, 1, TLinkMode::PcUart, TEchoMode::Auto));
        return true;
    }
    uint16_t mirror(int reg) const { return master.Mirror()[static_cast<size_t>(reg)]; }
};

// Waits until `done` holds, polling both ports every 2 ms as their owners' timers would.
bool Until(std::array<Slot *, 2> ports, const std::function<bool()> &done)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < kReplyWaitMs) {
        SleepMs(2);
        for (Slot *s : ports)
            s->drv.PollReceive();
        if (done())
            return true;
    }
    return false;
}

}  // namespace

class TestModbusMasters : public QObject {
    Q_OBJECT

    std::unique_ptr<Slot> a, b;

private slots:
    void init()
    {
        ResetRegisterMirror();
        // Two modules that differ: firmware, an output, and whether their line echoes.
        a = std::make_unique<Slot>(5, 150, false);
        b = std::make_unique<Slot>(6, 149, true);
        a->sim->setReg(Reg::DA_Val0, 1111);
        b->sim->setReg(Reg::DA_Val0, 2222);
        QVERIFY(a->open());
        QVERIFY(b->open());
    }
    void cleanup()
    {
        a.reset();
        b.reset();
    }

    void readsInTurnFillEachMastersOwnMirror()
    {
        // Both requests out before either reply is fetched.
        a->master.SendReadRequest(kPollFirstRegister, kPollRegisterCount, kFnReadHoldingRegisters);
        b->master.SendReadRequest(kPollFirstRegister, kPollRegisterCount, kFnReadHoldingRegisters);
        bool gotA = false, gotB = false;
        QVERIFY(Until({a.get(), b.get()}, [&] {
            gotB = gotB || b->master.FetchRegisters(kPollFirstRegister);
            gotA = gotA || a->master.FetchRegisters(kPollFirstRegister);
            return gotA && gotB;
        }));
        QCOMPARE(a->mirror(Reg::FW_Version), uint16_t(150));
        QCOMPARE(b->mirror(Reg::FW_Version), uint16_t(149));
        QCOMPARE(a->mirror(Reg::DA_Val0), uint16_t(1111));
        QCOMPARE(b->mirror(Reg::DA_Val0), uint16_t(2222));
        // Words past the block keep their own index in each mirror.
        QCOMPARE(a->mirror(kPollRegisterCount), uint16_t(kPollRegisterCount));
        // What each learnt of its line: only b's echoes.
        QVERIFY(!a->master.PortEchoes());
        QVERIFY(b->master.PortEchoes());
        // The main window's master read nothing.
        QCOMPARE(RegisterMirror[Reg::FW_Version], uint16_t(Reg::FW_Version));
        QCOMPARE(RegisterMirror[Reg::DA_Val0], uint16_t(Reg::DA_Val0));
        QVERIFY(!PortEchoes());
    }

    void writesInTurnReachTheirOwnModule()
    {
        QVERIFY(a->master.WriteRegister(Reg::DA_Val0 + 1, 3333));
        QVERIFY(b->master.WriteRegister(Reg::DA_Val0 + 1, 4444));
        QVERIFY(b->master.WriteRegister(Reg::DA_Val0 + 2, 5555));
        QVERIFY(a->master.WriteRegister(Reg::DA_Val0 + 2, 6666));
        QCOMPARE(a->sim->reg(Reg::DA_Val0 + 1), uint16_t(3333));
        QCOMPARE(b->sim->reg(Reg::DA_Val0 + 1), uint16_t(4444));
        QCOMPARE(b->sim->reg(Reg::DA_Val0 + 2), uint16_t(5555));
        QCOMPARE(a->sim->reg(Reg::DA_Val0 + 2), uint16_t(6666));
        // A read of each, waiting for its reply, sees its own writes.
        uint16_t wordsA[2] = {}, wordsB[2] = {};
        QVERIFY(a->master.ReadRegistersOnce(Reg::DA_Val0 + 1, 2, wordsA));
        QVERIFY(b->master.ReadRegistersOnce(Reg::DA_Val0 + 1, 2, wordsB));
        QCOMPARE(wordsA[0], uint16_t(3333));
        QCOMPARE(wordsA[1], uint16_t(6666));
        QCOMPARE(wordsB[0], uint16_t(4444));
        QCOMPARE(wordsB[1], uint16_t(5555));
    }

    // As the station will run them: both polling cycles on one event loop, each
    // master its own, every exchange landing in its own mirror.
    void pollingCyclesShareOneEventLoop()
    {
        struct Cycle {
            bool sendPending = true;
            int32_t waitTicks = 0;
            int exchanges = 0;
        } cycles[2];
        Slot *ports[2] = {a.get(), b.get()};
        QEventLoop loop;
        QTimer tick;
        tick.setInterval(kPollTickMs);
        QObject::connect(&tick, &QTimer::timeout, [&] {
            for (int i = 0; i < 2; ++i)
                if (PollStep(ports[i]->master, cycles[i].sendPending, cycles[i].waitTicks) == TPollStep::Exchange)
                    ++cycles[i].exchanges;
            if (cycles[0].exchanges >= kPollsWanted && cycles[1].exchanges >= kPollsWanted)
                loop.quit();
        });
        QTimer::singleShot(kPollsWanted * kPollMaxWaitTicks * kPollTickMs, &loop, &QEventLoop::quit);
        tick.start();
        loop.exec();
        QVERIFY(cycles[0].exchanges >= kPollsWanted);
        QVERIFY(cycles[1].exchanges >= kPollsWanted);
        QCOMPARE(a->mirror(Reg::DA_Val0), uint16_t(1111));
        QCOMPARE(b->mirror(Reg::DA_Val0), uint16_t(2222));
        QCOMPARE(a->mirror(Reg::FW_Version), uint16_t(150));
        QCOMPARE(b->mirror(Reg::FW_Version), uint16_t(149));
    }

    // The configuration sequence through each master stores each module's own settings.
    void configurationSequencesStoreTheirOwnSettings()
    {
        TModuleSettings settingsA, settingsB;
        settingsA.Filter = 2;
        settingsB.Filter = 7;
        settingsB.TxSuppress = 40;
        const TConfigWriteResult ra = WriteModuleConfiguration(a->master, settingsA);
        const TConfigWriteResult rb = WriteModuleConfiguration(b->master, settingsB);
        QVERIFY(ra.Stored);
        QVERIFY(rb.Stored);
        QCOMPARE(a->sim->reg(Reg::Cfg_Filter), uint16_t(2));
        QCOMPARE(b->sim->reg(Reg::Cfg_Filter), uint16_t(7));
        QCOMPARE(b->sim->reg(Reg::Cfg_TxSuppress), uint16_t(40));
        QCOMPARE(a->sim->reg(Reg::Cfg_TxSuppress), uint16_t(ModuleDefault::TxSuppress));
    }
};

QTEST_GUILESS_MAIN(TestModbusMasters)
#include "tst_modbus_masters.moc"
