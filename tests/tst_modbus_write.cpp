// Write Single Register transactions against a scripted peer on a pty.
#include "modbus/MODBUS_RTU.h"
#include "serial/QRT_ComDrv.h"
#include "tests/support/ModbusBytes.h"
#include "tests/support/PtyPair.h"
#include "tests/support/ScriptedPeer.h"

#include <QElapsedTimer>
#include <QtTest>

using Chunks = std::vector<ScriptedPeer::Chunk>;

namespace {

Bytes Altered(const Bytes &request, size_t at)
{
    Bytes b(request.begin(), request.begin() + 6);
    b[at] ^= 0x01;
    return WithCrc(b);
}

}  // namespace

Q_DECLARE_METATYPE(ScriptedPeer::Answer)

class TestModbusWrite : public QObject {
    Q_OBJECT

private slots:
    void writeRegister_data()
    {
        using Answer = ScriptedPeer::Answer;
        QTest::addColumn<Answer>("answer");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<int>("frames");
        QTest::addColumn<bool>("prefillStaleEcho");
        // Every failed attempt rests 100 ms; one that hears nothing first waits 25 x 2 ms.
        QTest::addColumn<qint64>("minFailedAttemptMs");
        const qint64 rest = kWriteRetryPauseMs;
        const qint64 silentRest = kWriteRetryPauseMs + kEchoWaits * kEchoWaitMs;

        QTest::newRow("exact echo") << Answer([](const Bytes &r, int) {
            return Chunks{{0, r}};
        }) << true << 1 << false << qint64(0);
        QTest::newRow("echo in two pieces") << Answer([](const Bytes &r, int) {
            return Chunks{{0, Bytes(r.begin(), r.begin() + 3)}, {10, Bytes(r.begin() + 3, r.end())}};
        }) << true << 1 << false << qint64(0);
        QTest::newRow("station byte not compared") << Answer([](const Bytes &r, int) {
            return Chunks{{0, Altered(r, 0)}};
        }) << true << 1 << false << qint64(0);
        QTest::newRow("no echo: six attempts")
            << Answer([](const Bytes &, int) { return Chunks{}; }) << false << 6 << false << silentRest;
        QTest::newRow("value low byte differs") << Answer([](const Bytes &r, int) {
            return Chunks{{0, Altered(r, 5)}};
        }) << false << 6 << false << rest;
        QTest::newRow("value high byte differs") << Answer([](const Bytes &r, int) {
            return Chunks{{0, Altered(r, 4)}};
        }) << false << 6 << false << rest;
        QTest::newRow("exception reply") << Answer([](const Bytes &r, int) {
            return Chunks{{0, WithCrc({r[0], uint8_t(r[1] | 0x80), 0x02})}};
        }) << false << 6 << false << rest;
        QTest::newRow("wrong echo, then right") << Answer([](const Bytes &r, int i) {
            return i == 0 ? Chunks{{0, Altered(r, 3)}} : Chunks{{0, r}};
        }) << true << 2 << false << qint64(0);
        // The module took the last attempt but answered late, in the rest after it:
        // the write was taken, and is reported so.
        QTest::newRow("sixth answer late, in the rest after it") << Answer([](const Bytes &r, int i) {
            return i == kWriteAttempts - 1 ? Chunks{{int(kEchoWaits * kEchoWaitMs) + 30, r}} : Chunks{};
        }) << true << 6 << false << qint64(0);
        QTest::newRow("stale bytes behind a short echo") << Answer([](const Bytes &r, int) {
            return Chunks{{0, Bytes(r.begin(), r.begin() + 3)}};
        }) << false << 6 << true << rest;
    }

    void writeRegister()
    {
        QFETCH(ScriptedPeer::Answer, answer);
        QFETCH(bool, ok);
        QFETCH(int, frames);
        QFETCH(bool, prefillStaleEcho);
        QFETCH(qint64, minFailedAttemptMs);
        PtyPair pty(1);
        TQRTCommDriver drv;
        drv.SetComPortSpeed(br57600);
        drv.SetComPortParity(ptEVEN);
        QVERIFY(drv.Open());
        SetModbusLink({&drv, [] { return 1; }, [] { return TLinkMode::PcUart; }});
        const Bytes request = {0x01, 0x06, 0x00, 0x0A, 0x00, 0x64, 0xA8, 0x23};
        if (prefillStaleEcho) {
            // An earlier, identical echo still lies in the buffer beyond RxCount.
            std::copy(request.begin(), request.end(), drv.RxBuffer);
            drv.RxCount = 8;
        }
        ScriptedPeer peer(pty.master(), answer);
        QElapsedTimer t;
        t.start();
        QCOMPARE(WriteRegister(10, 100), ok);
        const qint64 elapsed = t.elapsed();
        const auto sent = peer.requests();
        QCOMPARE(int(sent.size()), frames);
        for (const Bytes &f : sent)
            QCOMPARE(f, request);
        if (!ok) {
            QVERIFY2(elapsed >= kWriteAttempts * minFailedAttemptMs, qPrintable(QString::number(elapsed)));
            QVERIFY2(elapsed < 3000, qPrintable(QString::number(elapsed)));
        }
    }

    void closedPortFailsAfterAllAttempts()
    {
        TQRTCommDriver drv;
        SetModbusLink({&drv, [] { return 1; }, [] { return TLinkMode::PcUart; }});
        drv.RxCount = 8;
        QElapsedTimer t;
        t.start();
        QVERIFY(!WriteRegister(10, 100));
        QVERIFY(t.elapsed() >= 900);
        QCOMPARE(drv.RxCount, uint16_t(0));
    }
};

QTEST_GUILESS_MAIN(TestModbusWrite)
#include "tst_modbus_write.moc"
