// The simulated line between the module and the tool: a USB adapter's latency
// timer (on a hand-made clock, then once on a pty) and an adapter that hands the
// tool's bytes back.
#include "serial/QRT_ComDrv.h"
#include "sim/UsbAdapterModel.h"
#include "tests/support/ModbusBytes.h"
#include "tests/support/SimFixture.h"

#include <QElapsedTimer>
#include <QtTest>

using talvex::sim::SimOptions;
using talvex::sim::UsbAdapterModel;

namespace {

constexpr uint64_t kCharUs = 191;  // one character at 57600 baud, 11 bits
constexpr int kCom = 5;

// One burst from the line: `count` bytes, the first at startUs.
struct Burst {
    uint64_t startUs;
    int count;
};
// One packet to the tool: when, and how many bytes.
struct Packet {
    uint64_t atUs;
    int count;
};

}  // namespace

Q_DECLARE_METATYPE(QList<Burst>)
Q_DECLARE_METATYPE(QList<Packet>)

class TestSimAdapter : public QObject {
    Q_OBJECT

    // The tool's port on the simulated module, raw.
    struct Line {
        SimFixture sim;
        TQRTCommDriver drv;
        explicit Line(SimOptions o) : sim(withCom(o))
        {
            drv.SetComPort(static_cast<TComPortNumber>(kCom - 1));
            drv.SetComPortSpeed(br57600);
            drv.SetComPortParity(ptEVEN);
            if (!drv.Open())
                qFatal("cannot open the simulated port");
        }
        static SimOptions withCom(SimOptions o)
        {
            o.com = kCom;
            return o;
        }
        void send(const Bytes &b)
        {
            drv.RxCount = 0;
            drv.SendData(b.data(), int32_t(b.size()));
        }
        // Polls until at least `count` bytes are in or `ms` have passed.
        void waitFor(int count, int ms)
        {
            QElapsedTimer t;
            t.start();
            while (drv.RxCount < count && t.elapsed() < ms) {
                QThread::msleep(1);
                drv.PollReceive();
            }
        }
    };

private slots:
    void latencyTimer_data()
    {
        QTest::addColumn<uint32_t>("latencyMs");
        QTest::addColumn<QList<Burst>>("bursts");
        QTest::addColumn<QList<Packet>>("packets");
        QTest::newRow("a 69-byte poll reply: 62 at once, 7 held for the timer")
            << 16u << QList<Burst>{{0, 69}} << QList<Packet>{{61 * kCharUs, 62}, {68 * kCharUs + 16000, 7}};
        QTest::newRow("an 8-byte echo with a 1 ms timer")
            << 1u << QList<Burst>{{0, 8}} << QList<Packet>{{7 * kCharUs + 1000, 8}};
        QTest::newRow("exactly a packet") << 16u << QList<Burst>{{0, 62}} << QList<Packet>{{61 * kCharUs, 62}};
        QTest::newRow("a pause longer than the timer: two packets")
            << 16u << QList<Burst>{{0, 3}, {20000, 3}}
            << QList<Packet>{{2 * kCharUs + 16000, 3}, {20000 + 2 * kCharUs + 16000, 3}};
        QTest::newRow("a pause shorter than the timer: the timer starts again")
            << 16u << QList<Burst>{{0, 3}, {10000, 3}} << QList<Packet>{{10000 + 2 * kCharUs + 16000, 6}};
    }
    void latencyTimer()
    {
        QFETCH(uint32_t, latencyMs);
        QFETCH(QList<Burst>, bursts);
        QFETCH(QList<Packet>, packets);
        UsbAdapterModel adapter(latencyMs);
        QVERIFY(adapter.enabled());
        uint8_t next = 0;
        for (const Burst &b : bursts) {
            std::vector<uint8_t> bytes;
            for (int i = 0; i < b.count; ++i)
                bytes.push_back(next++);
            adapter.arrive(bytes, b.startUs, kCharUs);
        }
        uint8_t expected = 0;
        for (const Packet &p : packets) {
            QCOMPARE(adapter.nextDueUs(), p.atUs);
            QVERIFY(adapter.take(p.atUs - 1).empty());  // held until then ...
            const std::vector<uint8_t> got = adapter.take(p.atUs);
            QCOMPARE(int(got.size()), p.count);  // ... then forwarded whole, in order
            for (uint8_t b : got)
                QCOMPARE(b, expected++);
        }
        QCOMPARE(adapter.nextDueUs(), UsbAdapterModel::kNothingDue);
    }

    // On the pty: a poll reply behind the echo (77 bytes) comes as one full
    // packet at once, the rest only when the timer runs out; a short answer waits
    // for the timer. A long timer keeps this clear of a slow machine's delays.
    void latencyTimerOnThePty()
    {
        constexpr uint32_t kTimerMs = 150;
        SimOptions o;
        o.echo = true;
        o.latencyTimerMs = kTimerMs;
        Line line(o);
        const Bytes read = Frame(1, kFnReadHoldingRegisters, 0, 32);
        line.send(read);
        line.waitFor(1, 1000);
        QCOMPARE(int(line.drv.RxCount), int(UsbAdapterModel::kPacketBytes));
        QElapsedTimer t;
        t.start();
        line.waitFor(8 + 69, 2000);
        QCOMPARE(int(line.drv.RxCount), 8 + 69);
        QVERIFY2(t.elapsed() >= kTimerMs / 2, qPrintable(QString::number(t.elapsed())));

        const Bytes write = Frame(1, kFnWriteSingleRegister, 12, 7);
        t.restart();
        line.send(write);
        line.waitFor(16, 2000);
        QVERIFY2(t.elapsed() >= kTimerMs, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(Bytes(line.drv.RxBuffer, line.drv.RxBuffer + line.drv.RxCount), Cat({write, write}));
    }

    // --echo: every byte the tool sends comes back before the reply.
    void echoComesBeforeTheReply()
    {
        SimOptions o;
        o.echo = true;
        Line line(o);
        const Bytes write = Frame(1, kFnWriteSingleRegister, 12, 7);
        line.send(write);
        line.waitFor(16, 1000);
        QCOMPARE(Bytes(line.drv.RxBuffer, line.drv.RxBuffer + line.drv.RxCount), Cat({write, write}));
        // A silent module: the echo alone.
        talvex::sim::FaultPlan silent;
        silent.silent = true;
        line.sim->setFaults(silent);
        line.send(write);
        line.waitFor(16, 250);
        QCOMPARE(Bytes(line.drv.RxBuffer, line.drv.RxBuffer + line.drv.RxCount), write);
        // Off by command: nothing comes back.
        QCOMPARE(line.sim->command("echo off"), std::string("ok"));
        line.send(write);
        line.waitFor(1, 250);
        QCOMPARE(int(line.drv.RxCount), 0);
    }
};

QTEST_GUILESS_MAIN(TestSimAdapter)
#include "tst_sim_adapter.moc"
