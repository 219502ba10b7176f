// Write Single Register transactions against a scripted peer on a pty.
#include "MODBUS_RTU.h"
#include "ModbusBytes.h"
#include "PtyPair.h"
#include "QRT_ComDrv.h"
#include "ScriptedPeer.h"

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

} // namespace

class TestModbusWrite : public QObject {
    Q_OBJECT

    struct Case {
        ScriptedPeer::Answer answer;
        bool ok;
        int frames;
        bool prefillStaleEcho = false;
    };

    std::map<QString, Case> cases()
    {
        std::map<QString, Case> c;
        c["exact echo"] = {[](const Bytes &r, int) { return Chunks{{0, r}}; }, true, 1};
        c["echo in two pieces"] = {
            [](const Bytes &r, int) {
                return Chunks{{0, Bytes(r.begin(), r.begin() + 3)}, {10, Bytes(r.begin() + 3, r.end())}};
            },
            true, 1};
        c["station byte not compared"] = {[](const Bytes &r, int) { return Chunks{{0, Altered(r, 0)}}; },
                                          true, 1};
        c["no echo: six attempts"] = {[](const Bytes &, int) { return Chunks{}; }, false, 6};
        c["value low byte differs"] = {[](const Bytes &r, int) { return Chunks{{0, Altered(r, 5)}}; }, false, 6};
        c["value high byte differs"] = {[](const Bytes &r, int) { return Chunks{{0, Altered(r, 4)}}; }, false, 6};
        c["exception reply"] = {
            [](const Bytes &r, int) { return Chunks{{0, WithCrc({r[0], uint8_t(r[1] | 0x80), 0x02})}}; },
            false, 6};
        c["wrong echo, then right"] = {
            [](const Bytes &r, int i) { return i == 0 ? Chunks{{0, Altered(r, 3)}} : Chunks{{0, r}}; }, true, 2};
        c["stale bytes behind a short echo"] = {
            [](const Bytes &r, int) { return Chunks{{0, Bytes(r.begin(), r.begin() + 3)}}; }, false, 6, true};
        return c;
    }

private slots:
    void writeRegister_data()
    {
        QTest::addColumn<QString>("name");
        for (const auto &[name, c] : cases())
            QTest::newRow(qPrintable(name)) << name;
    }

    void writeRegister()
    {
        QFETCH(QString, name);
        Case c = cases().at(name);
        PtyPair pty(1);
        TQRTCommDriver drv;
        drv.SetComPortSpeed(br57600);
        drv.SetComPortParity(ptEVEN);
        QVERIFY(drv.Open());
        SetModbusLink({&drv, [] { return 1; }, [] { return TLinkMode::PcUart; }});
        const Bytes request = {0x01, 0x06, 0x00, 0x0A, 0x00, 0x64, 0xA8, 0x23};
        if (c.prefillStaleEcho) {
            // An earlier, identical echo still lies in the buffer beyond RxCount.
            std::copy(request.begin(), request.end(), drv.RxBuffer);
            drv.RxCount = 8;
        }
        ScriptedPeer peer(pty.master(), c.answer);
        QElapsedTimer t;
        t.start();
        QCOMPARE(WriteRegister(10, 100), c.ok);
        const qint64 elapsed = t.elapsed();
        const auto frames = peer.requests();
        QCOMPARE(int(frames.size()), c.frames);
        for (const Bytes &f : frames)
            QCOMPARE(f, request);
        if (!c.ok) {
            // Every failed attempt rests 100 ms; one that hears nothing first waits 25 x 2 ms.
            const qint64 perAttempt = kWriteRetryPauseMs + (name.startsWith("no echo") ? kEchoWaits * kEchoWaitMs : 0);
            QVERIFY2(elapsed >= kWriteAttempts * perAttempt, qPrintable(QString::number(elapsed)));
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
