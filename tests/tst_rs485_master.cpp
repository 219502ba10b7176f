// The Modbus routines on the lines users have: an adapter that hears its own
// request, stray bytes before a reply, exception replies, an echo whose CRC
// bytes come late. A scripted module plays the far end of a pty.
#include "modbus/MODBUS_RTU.h"
#include "serial/Clock.h"
#include "serial/QRT_ComDrv.h"
#include "tests/support/ModbusBytes.h"
#include "tests/support/PtyPair.h"
#include "tests/support/ScriptedPeer.h"

#include <QtTest>

using Chunks = std::vector<ScriptedPeer::Chunk>;
using Answer = ScriptedPeer::Answer;

Q_DECLARE_METATYPE(ScriptedPeer::Answer)
Q_DECLARE_METATYPE(TEchoMode)

namespace {

constexpr uint16_t kReg = 10;
constexpr uint16_t kWord0 = 0x1234;
constexpr uint16_t kWord1 = 0x0FA0;
constexpr uint8_t kIllegalDataAddress = 0x02;

// What the module answers: a write's echo, or registers 10 and 11.
Bytes ModuleReply(const Bytes &request)
{
    if (request[1] == kFnWriteSingleRegister)
        return request;
    return WithCrc({request[0], kFnReadHoldingRegisters, 4, kWord0 >> 8, kWord0 & 0xFF, kWord1 >> 8, kWord1 & 0xFF});
}

Bytes Exception(const Bytes &request, uint8_t code)
{
    return WithCrc({request[0], uint8_t(request[1] | kExceptionFlag), code});
}

// Line models: what reaches the tool for each request.
Answer Plain()
{
    return [](const Bytes &r, int) { return Chunks{{0, ModuleReply(r)}}; };
}
Answer Echoing()
{
    return [](const Bytes &r, int) { return Chunks{{0, Cat({r, ModuleReply(r)})}}; };
}
Answer EchoingToASilentModule()
{
    return [](const Bytes &r, int) { return Chunks{{0, r}}; };
}
Answer StrayBytes(Bytes strays)
{
    return [strays](const Bytes &r, int) { return Chunks{{0, Cat({strays, ModuleReply(r)})}}; };
}
Answer EchoingWithStrays(Bytes strays)
{
    return [strays](const Bytes &r, int) { return Chunks{{0, Cat({r, strays, ModuleReply(r)})}}; };
}
Answer Refusing(bool echo)
{
    return [echo](const Bytes &r, int) {
        return Chunks{{0, Cat({echo ? r : Bytes{}, Exception(r, kIllegalDataAddress)})}};
    };
}
Answer ReplyThenStrayByte()
{
    return [](const Bytes &r, int) { return Chunks{{0, Cat({ModuleReply(r), Bytes{0x00}})}}; };
}

// The port open on the pty, registered as the link.
struct Line {
    PtyPair pty{1};
    TQRTCommDriver drv;
    explicit Line(TEchoMode echo)
    {
        drv.SetComPortSpeed(br57600);
        drv.SetComPortParity(ptEVEN);
        if (!drv.Open())
            qFatal("cannot open the pty");
        SetModbusLink({&drv, [] { return 1; }, [] { return TLinkMode::PcUart; }, echo});
    }
    ~Line() { SetModbusLink({}); }
};

}  // namespace

class TestRs485Master : public QObject {
    Q_OBJECT

private slots:
    // The table of lines: each row one line and what a read, then a write, comes to on it.
    void linesOfTheField_data()
    {
        QTest::addColumn<Answer>("line");
        QTest::addColumn<TEchoMode>("echo");
        QTest::addColumn<bool>("readOk");
        QTest::addColumn<bool>("writeOk");
        QTest::addColumn<int>("writeFrames");
        QTest::addColumn<int>("exception");
        QTest::addColumn<bool>("echoes");  // what the port counts as afterwards

        QTest::newRow("plain line") << Plain() << TEchoMode::Auto << true << true << 1 << 0 << false;
        QTest::newRow("echoing adapter: read and write")
            << Echoing() << TEchoMode::Auto << true << true << 1 << 0 << true;
        QTest::newRow("echoing adapter, silent module: the write fails")
            << EchoingToASilentModule() << TEchoMode::Auto << false << false << kWriteAttempts << 0 << true;
        QTest::newRow("echoing adapter, silent module, echo on")
            << EchoingToASilentModule() << TEchoMode::On << false << false << kWriteAttempts << 0 << true;
        // Off: nothing is learnt; the read's reply still ends the buffer.
        QTest::newRow("echo off on an echoing adapter")
            << Echoing() << TEchoMode::Off << true << true << 1 << 0 << false;
        QTest::newRow("one stray 0x00 before every reply")
            << StrayBytes({0x00}) << TEchoMode::Auto << true << true << 1 << 0 << false;
        QTest::newRow("three stray bytes before every reply")
            << StrayBytes({0xFF, 0x01, 0x03}) << TEchoMode::Auto << true << true << 1 << 0 << false;
        QTest::newRow("echo, then stray bytes, then the reply")
            << EchoingWithStrays({0x00, 0x7E}) << TEchoMode::Auto << true << true << 1 << 0 << true;
        QTest::newRow("exception reply") << Refusing(false) << TEchoMode::Auto << false << false << kWriteAttempts
                                         << int(kIllegalDataAddress) << false;
        QTest::newRow("exception reply behind the echo") << Refusing(true) << TEchoMode::Auto << false << false
                                                         << kWriteAttempts << int(kIllegalDataAddress) << true;
        QTest::newRow("a reply followed by a stray byte is no reply")
            << ReplyThenStrayByte() << TEchoMode::Auto << false << true << 1 << 0 << false;
    }
    void linesOfTheField()
    {
        QFETCH(Answer, line);
        QFETCH(TEchoMode, echo);
        QFETCH(bool, readOk);
        QFETCH(bool, writeOk);
        QFETCH(int, writeFrames);
        QFETCH(int, exception);
        QFETCH(bool, echoes);
        Line l(echo);
        ScriptedPeer peer(l.pty.master(), line);

        uint16_t words[2] = {};
        QCOMPARE(ReadRegistersOnce(kReg, 2, words), readOk);
        if (readOk) {
            QCOMPARE(words[0], kWord0);
            QCOMPARE(words[1], kWord1);
        }
        QCOMPARE(int(LastExceptionCode()), exception);

        QCOMPARE(WriteRegister(kReg, 100), writeOk);
        QCOMPARE(int(LastExceptionCode()), exception);
        QCOMPARE(PortEchoes(), echoes);
        const auto sent = peer.requests();
        QCOMPARE(int(sent.size()), 1 + writeFrames);
        for (size_t i = 1; i < sent.size(); ++i)
            QCOMPARE(sent[i], Frame(1, kFnWriteSingleRegister, kReg, 100));
    }

    // The polling cycle's read: the echo and stray bytes before the reply, an
    // exception that ends the wait.
    void fetchTakesTheReplyThatEndsTheBuffer_data()
    {
        QTest::addColumn<Answer>("line");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<int>("exception");
        QTest::newRow("plain") << Plain() << true << 0;
        QTest::newRow("echo") << Echoing() << true << 0;
        QTest::newRow("stray bytes") << StrayBytes({0x00, 0x00}) << true << 0;
        QTest::newRow("exception") << Refusing(false) << false << int(kIllegalDataAddress);
        QTest::newRow("exception behind the echo") << Refusing(true) << false << int(kIllegalDataAddress);
    }
    void fetchTakesTheReplyThatEndsTheBuffer()
    {
        QFETCH(Answer, line);
        QFETCH(bool, ok);
        QFETCH(int, exception);
        Line l(TEchoMode::Auto);
        ScriptedPeer peer(l.pty.master(), line);
        ResetRegisterMirror();
        SendReadRequest(kReg, 2, kFnReadHoldingRegisters);
        // The reply is whole once nothing more arrives.
        QTest::qWait(50);
        l.drv.PollReceive();
        QCOMPARE(FetchRegisters(kReg), ok);
        QCOMPARE(int(LastExceptionCode()), exception);
        QCOMPARE(RegisterMirror[kReg], ok ? kWord0 : kReg);
        QCOMPARE(RegisterMirror[kReg + 1], ok ? kWord1 : uint16_t(kReg + 1));
    }

    // The echo's CRC bytes come 10 ms after the rest: the write waits for them,
    // so they cannot spoil the next exchange.
    void anEchoIsJudgedWhole()
    {
        Line l(TEchoMode::Auto);
        ScriptedPeer peer(l.pty.master(), [](const Bytes &r, int) {
            return Chunks{{0, Bytes(r.begin(), r.begin() + 6)}, {10, Bytes(r.begin() + 6, r.end())}};
        });
        QVERIFY(WriteRegister(kReg, 100));
        QVERIFY(WriteRegister(kReg + 1, 200));
        QCOMPARE(int(peer.requests().size()), 2);  // no retry
    }

    // What the port has shown holds until it is closed.
    void theEchoIsLearntPerOpening()
    {
        Line l(TEchoMode::Auto);
        ScriptedPeer peer(l.pty.master(), Echoing());
        QVERIFY(!PortEchoes());
        uint16_t words[2] = {};
        QVERIFY(ReadRegistersOnce(kReg, 2, words));
        QVERIFY(PortEchoes());
        l.drv.Close();
        QVERIFY(l.drv.Open());
        QVERIFY(!PortEchoes());
    }

    // Back-to-back writes (the PLC-CAN handshake): the module answers 3 ms after
    // each request, between two of the write's 2 ms polls; the next request
    // still leaves the bus quiet for 1.75 ms after the reply.
    void silenceBetweenAReplyAndTheNextRequest()
    {
        Line l(TEchoMode::Auto);
        ScriptedPeer peer(l.pty.master(), [](const Bytes &r, int) { return Chunks{{3, r}}; });
        QVERIFY(WriteRegister(0, 1));
        QVERIFY(WriteRegister(1, 2));
        const auto requests = peer.requestTimes();
        const auto answers = peer.answerEndTimes();
        QCOMPARE(int(requests.size()), 2);
        QVERIFY(!answers.empty());
        const auto silence = std::chrono::duration_cast<std::chrono::microseconds>(requests[1] - answers[0]);
        QVERIFY2(silence.count() >= 1750, qPrintable(QString::number(silence.count())));
    }
};

QTEST_GUILESS_MAIN(TestRs485Master)
#include "tst_rs485_master.moc"
