// talvex-cli on the lines users have: an RS-485 adapter that hears its own
// request, stray bytes before every reply, exception replies. The program runs
// as a process against the simulated module (its --echo and noise modes) or a
// scripted module on a pty; each row names what the command comes to.
#include "sim/Simulator.h"
#include "tests/support/CliProcess.h"
#include "tests/support/ModbusBytes.h"
#include "tests/support/PtyPair.h"
#include "tests/support/ScriptedPeer.h"

#include <QtTest>

#include <memory>

using talvex::sim::FaultPlan;
using talvex::sim::SimOptions;
using talvex::sim::Simulator;
using Chunks = std::vector<ScriptedPeer::Chunk>;

Q_DECLARE_METATYPE(ScriptedPeer::Answer)

namespace {

// The simulated module as COM1, with its line echoing and stray bytes before every reply.
struct SimLine {
    QTemporaryDir dir;
    std::unique_ptr<Simulator> sim;
    SimLine(bool echo, uint32_t noise)
    {
        SimOptions o;
        o.portDir = portDir().toStdString();
        o.stateDir = (dir.path() + "/state").toStdString();
        o.com = 1;
        o.echo = echo;
        o.faults.noiseBytes = noise;
        sim = std::make_unique<Simulator>(o);
        std::string error;
        if (!sim->start(error))
            qFatal("simulator: %s", error.c_str());
    }
    ~SimLine() { sim->stop(); }
    QString portDir() const { return dir.path() + "/ports"; }
};

Bytes Exception(const Bytes &request, uint8_t code)
{
    return WithCrc({request[0], uint8_t(request[1] | kExceptionFlag), code});
}

}  // namespace

class TestCliRs485 : public QObject {
    Q_OBJECT

private slots:
    // The simulated module behind an echoing adapter and stray bytes: read and write work.
    void simulatedLines_data()
    {
        QTest::addColumn<bool>("echo");
        QTest::addColumn<int>("noise");
        QTest::addColumn<QStringList>("echoOption");
        QTest::newRow("echoing adapter") << true << 0 << QStringList{};
        QTest::newRow("echoing adapter, --echo on") << true << 0 << QStringList{"--echo", "on"};
        QTest::newRow("three stray bytes before every reply") << false << 3 << QStringList{};
        QTest::newRow("echoing adapter and a stray byte") << true << 1 << QStringList{};
    }
    void simulatedLines()
    {
        QFETCH(bool, echo);
        QFETCH(int, noise);
        QFETCH(QStringList, echoOption);
        SimLine line(echo, uint32_t(noise));
        line.sim->setReg(10, 1111);
        line.sim->setReg(11, 2222);

        const Result read = RunCli(QStringList{"-p", "COM1"} + echoOption + QStringList{"read", "10", "2"},
                                   line.portDir());
        QVERIFY2(read.status == 0, qPrintable(Describe(read)));
        QCOMPARE(read.out, QString("10 1111\n11 2222\n"));

        const Result write = RunCli(QStringList{"-p", "COM1"} + echoOption + QStringList{"write", "12", "777"},
                                    line.portDir());
        QVERIFY2(write.status == 0, qPrintable(Describe(write)));
        QCOMPARE(write.out, QString("12 777\n"));
        QCOMPARE(line.sim->reg(12), uint16_t(777));
    }

    // talvex-sim --echo with no station 7 on the line: the adapter's copy of the
    // write must not pass for station 7's answer.
    void writeToAStationThatIsNotThereFails()
    {
        SimLine line(true, 0);
        const Result r = RunCli({"-p", "COM1", "-a", "7", "write", "24", "3"}, line.portDir());
        QVERIFY2(r.status == 1, qPrintable(Describe(r)));
        QVERIFY(r.out.isEmpty());
        QVERIFY2(r.err.contains("no answer from station 7 on COM1"), qPrintable(r.err));
        QVERIFY(line.sim->reg(24) != 3);
    }

    // A scripted module: the adapter's echo alone, or exception replies.
    void scriptedLines_data()
    {
        QTest::addColumn<ScriptedPeer::Answer>("answer");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("error");
        QTest::addColumn<int>("requests");
        const auto echoOnly = ScriptedPeer::Answer([](const Bytes &r, int) { return Chunks{{0, r}}; });
        const auto refusing = ScriptedPeer::Answer([](const Bytes &r, int) { return Chunks{{0, Exception(r, 2)}}; });
        // Reads answered, writes refused: the write's own refusal is named.
        const auto refusingWrites = ScriptedPeer::Answer([](const Bytes &r, int) {
            return Chunks{{0, r.size() > 1 && r[1] == 0x06 ? Exception(r, 2) : ZeroReadReply(r.data(), r.size())}};
        });
        QTest::newRow("echoing adapter, silent module: write fails")
            << echoOnly << QStringList{"--echo", "on", "write", "12", "777"} << 1
            << QString("register 12: no matching echo from station 1 on COM1 after 6 attempts") << 6;
        // With --echo auto a read goes first: it learns the echo, and finds nobody
        // answering, so the write's copy can never pass for the module's answer.
        QTest::newRow("echoing adapter, silent module, --echo auto: write fails at its read")
            << echoOnly << QStringList{"write", "12", "777"} << 1 << QString("no answer from station 1 on COM1") << 3;
        QTest::newRow("echoing adapter, silent module: read fails")
            << echoOnly << QStringList{"read", "10", "2"} << 1 << QString("no answer from station 1 on COM1") << 3;
        QTest::newRow("exception reply to a read")
            << refusing << QStringList{"read", "10", "2"} << 1
            << QString("station 1 on COM1 answered: illegal data address (exception 2)") << 3;
        QTest::newRow("exception reply to a write")
            << refusingWrites << QStringList{"write", "12", "777"} << 1
            << QString("register 12: no matching echo from station 1 on COM1, which answered illegal data address "
                       "(exception 2), after 6 attempts")
            << 1 + 6;  // the read that learns the line, then six attempts
    }
    void scriptedLines()
    {
        QFETCH(ScriptedPeer::Answer, answer);
        QFETCH(QStringList, args);
        QFETCH(int, status);
        QFETCH(QString, error);
        QFETCH(int, requests);
        PtyPair pty(1);
        ScriptedPeer peer(pty.master(), answer);
        const Result r = RunCli(QStringList{"-p", "COM1"} + args, pty.portDir());
        QVERIFY2(r.status == status, qPrintable(Describe(r)));
        QVERIFY(r.out.isEmpty());
        QVERIFY2(r.err.contains(error), qPrintable(r.err));
        QCOMPARE(int(peer.requests().size()), requests);
    }

    void echoOptionIsChecked()
    {
        const Result r = RunCli({"--echo", "sometimes", "read"}, QDir::tempPath());
        QCOMPARE(r.status, 2);
        QVERIFY2(r.err.contains("echo: \"sometimes\" is not auto, on or off"), qPrintable(r.err));
    }
};

QTEST_GUILESS_MAIN(TestCliRs485)
#include "tst_cli_rs485.moc"
