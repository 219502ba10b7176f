// talvex-cli as a black box: the program is run as a process against the
// simulated module on a pty; what it prints, its exit status and the frames the
// module received are checked.
#include "serial/QRT_ComDrv.h"
#include "sim/Simulator.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/CliHarness.h"
#include "tests/support/PtyPair.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>
#include <map>
#include <memory>

using talvex::sim::FaultPlan;
using talvex::sim::SimMode;
using talvex::sim::SimOptions;
using talvex::sim::Simulator;

namespace {

// A module that answers nothing, and the request each command repeats to it.
struct SilentCase {
    const char *tag;
    QStringList args;
    QString request;
};

const QList<SilentCase> &SilentModuleCases()
{
    static const QString block = "01 03 00 00 00 20 44 12";
    static const QList<SilentCase> cases = {
        {"info", {"info"}, block},
        {"read", {"read", "0", "4"}, "01 03 00 00 00 04 44 09"},
        {"watch", {"watch", "-n", "3"}, block},
        {"configure: nothing written without the read-back", {"configure", "--filter", "5"}, block},
        // With --echo auto the write's read goes first and finds nobody: no write goes out.
        {"write: the read before it finds nobody", {"write", "12", "777"}, block},
    };
    return cases;
}

// A run against a simulator of its own, started before the cases and judged in
// its turn.
struct StartedRun {
    std::unique_ptr<LoggedSim> sim;
    std::unique_ptr<CliRun> run;
};

}  // namespace

class TestCli : public QObject {
    Q_OBJECT

    QTemporaryDir files;
    // The runs that only wait out the program's own time-outs (seconds each) all
    // start at once in initTestCase, each on its own simulator, so their waits
    // overlap each other and the quick cases.
    std::map<QString, StartedRun> started;

    void start(const QString &name, std::unique_ptr<LoggedSim> sim, const QStringList &args)
    {
        CliRun *run = new CliRun(args, sim->portDir());
        started[name] = StartedRun{std::move(sim), std::unique_ptr<CliRun>(run)};
    }
    static std::unique_ptr<LoggedSim> SilentSim()
    {
        auto sim = std::make_unique<LoggedSim>();
        FaultPlan plan;
        plan.silent = true;
        (*sim)->setFaults(plan);
        return sim;
    }
    // The run started under `name`, handed to its case; empty when there is none.
    StartedRun take(const QString &name)
    {
        auto it = started.find(name);
        if (it == started.end())
            return {};
        StartedRun r = std::move(it->second);
        started.erase(it);
        return r;
    }

    QString makeFile(const QString &name, qsizetype size)
    {
        const QString path = files.filePath(name);
        QFile f(path);
        if (f.open(QIODevice::WriteOnly)) {
            QByteArray bytes(size, '\0');
            for (qsizetype i = 0; i < size; ++i)
                bytes[i] = char((i * 7 + 3) & 0xFF);
            f.write(bytes);
        }
        return path;
    }

private slots:
    void initTestCase()
    {
        start("writeToASilentModuleFailsAfterSixAttempts", SilentSim(),
              {"-p", "COM2", "--echo", "off", "write", "12", "777"});
        for (const SilentCase &c : SilentModuleCases())
            start(QString("silentModuleIsNoResult/") + c.tag, SilentSim(), QStringList{"-p", "COM2", "-q"} + c.args);
        // Nothing answers at 115200.
        start("flashOnASilentChipFailsAfterThreeRuns", std::make_unique<LoggedSim>(SimMode::FixedPort, false),
              {"-p", "COM2", "flash"});
    }
    void cleanupTestCase()
    {
        // Runs of cases that were not selected end here.
        started.clear();
    }

    // Cases that talk to no module first, while the runs started above are busiest.
    void standInNeverReachesARealLineUnasked_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("status");
        // /dev/tty: a tty that is not a pty, refused before it is opened; /dev/null:
        // no tty at all, refused as a port.
        QTest::newRow("carried stand-in: refused") << QStringList{"-p", "/dev/tty", "flash"} << 2;
        QTest::newRow("asked for: on to the port") << QStringList{"-p", "/dev/null", "flash", "--yes-standin"} << 3;
        QTest::newRow("another image: on to the port")
            << QStringList{"-p", "/dev/null", "flash", "--image", TALVEX_FIRMWARE_IMAGE_ABS} << 3;
    }
    void standInNeverReachesARealLineUnasked()
    {
        QFETCH(QStringList, args);
        QFETCH(int, status);
#ifndef TALVEX_FIRMWARE_IS_STANDIN
        if (!args.contains("--image"))
            QSKIP("this build carries the module's own image");
#endif
        const Result r = RunCli(args, "/nonexistent");
        QVERIFY2(r.status == status, qPrintable(Describe(r)));
        QVERIFY(r.out.isEmpty());
        if (status == 2)
            QVERIFY2(r.err.contains("stand-in") && r.err.contains("--yes-standin"), qPrintable(r.err));
        else
            QVERIFY2(r.err.contains("cannot open /dev/null"), qPrintable(r.err));
    }

    void portCannotBeOpened_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<bool>("holdIt");
        QTest::newRow("held by another opener") << "COM2" << true;
        QTest::newRow("no such COM link") << "COM5" << false;
        QTest::newRow("no such device") << "/nonexistent/ttyUSB9" << false;
    }
    void portCannotBeOpened()
    {
        QFETCH(QString, port);
        QFETCH(bool, holdIt);
        LoggedSim sim;
        qputenv("TALVEX_PORT_DIR", sim.portDir().toUtf8());
        TQRTCommDriver holder;
        holder.SetComPort(pnCOM2);
        if (holdIt)
            QVERIFY(holder.Open());
        const Result r = RunCli({"-p", port, "info"}, sim.portDir());
        QVERIFY2(r.status == 3, qPrintable(Describe(r)));
        QVERIFY(r.out.isEmpty());
        QVERIFY2(r.err.contains("cannot open " + port), qPrintable(r.err));
        QVERIFY(sim.received().isEmpty());
    }

    // One refusal of each kind as a process: by the parser, by the port's name
    // and by the image's content. The rest are tst_cli_args's in-process table.
    void badArgumentsSendNothing_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("unknown option") << QStringList{"--parity", "even", "info"};
        QTest::newRow("a baud rate the module has not") << QStringList{"--baud", "115200", "info"};
        QTest::newRow("port name without a path") << QStringList{"-p", "ttyUSB0", "info"};
        QTest::newRow("image of 261,120 bytes") << QStringList{"flash", "--image", makeFile("large.bin", 261120)};
    }
    void badArgumentsSendNothing()
    {
        QFETCH(QStringList, args);
        PtyPair line(1);
        QVERIFY(line.ok());
        const Result r = RunCli(QStringList{"-p", "COM1"} + args, line.portDir());
        QVERIFY2(r.status == 2, qPrintable(Describe(r)));
        QVERIFY(r.out.isEmpty());
        QVERIFY(r.err.startsWith("talvex-cli: "));
        QVERIFY(line.readMaster(50, 10).empty());
    }

    void usageErrorsSayWhy_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("said");
        QTest::newRow("-a after configure")
            << QStringList{"configure", "-a", "3"} << "the new station is configure --station N";
        QTest::newRow("watch below the poll's rate")
            << QStringList{"watch", "-i", "20"} << "20 ms is below the poll's own rate, one exchange every 60 ms";
    }
    void usageErrorsSayWhy()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, said);
        const Result r = RunCli(args, "/nonexistent");
        QCOMPARE(r.status, 2);
        QVERIFY2(r.err.contains(said), qPrintable(r.err));
        // With --json the error is one object on standard error.
        const Result j = RunCli(QStringList{"--json"} + args, "/nonexistent");
        QCOMPARE(j.status, 2);
        QCOMPARE(Lines(j.err).size(), 1);
        const QJsonObject o = QJsonDocument::fromJson(j.err.toUtf8()).object();
        QVERIFY2(o["error"].toString().contains(said), qPrintable(j.err));
        QCOMPARE(o["stage"].toString(), QString("usage"));
        QCOMPARE(o["exit"].toInt(), 2);
    }

    void failuresAreLoggedToo()
    {
        // No module on the line: the failure goes to the log as a JSON line.
        PtyPair line(1);
        QVERIFY(line.ok());
        const QString log = files.filePath("failures.log");
        const Result r = RunCli({"-p", "COM1", "-q", "--log", log, "read", "0", "2"}, line.portDir(), 10000);
        QCOMPARE(r.status, 1);
        const QStringList logged = Lines(QString::fromUtf8(ReadAll(log)));
        QCOMPARE(logged.size(), 1);
        const QJsonObject o = QJsonDocument::fromJson(logged[0].toUtf8()).object();
        QCOMPARE(o["result"].toString(), QString("failed"));
        QCOMPARE(o["stage"].toString(), QString("link"));
        QCOMPARE(o["exit"].toInt(), 1);
        QVERIFY(o["error"].toString().contains("no answer from station 1 on COM1"));
        QVERIFY(QDateTime::fromString(o["time"].toString(), Qt::ISODateWithMs).isValid());
    }

    // SIGTERM, and SIGHUP (a dropped SSH session), mid-sequence: held until the
    // sequence has ended, then the program ends by that signal.
    void interruptDuringConfigureIsHeldAndSaid_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }
    void interruptDuringConfigureIsHeldAndSaid()
    {
        QFETCH(int, signal);
        LoggedSim sim;
        FaultPlan slow;
        slow.delayMs = 40;  // every echo late, within the write's wait: the sequence takes longer
        sim->setFaults(slow);
        QProcess p;
        StartCli(p, {"-p", "COM2", "configure", "--filter", "5"}, sim.portDir());
        // The unlock code is on its way: the sequence has begun.
        QTRY_VERIFY_WITH_TIMEOUT(sim.received().contains("01 06 00 14 1C 1C C0 C7"), 10000);
        ::kill(pid_t(p.processId()), signal);
        // Said at once, while the sequence still runs.
        QByteArray err;
        QTRY_VERIFY_WITH_TIMEOUT((err += p.readAllStandardError()).contains("interrupt noted"), 200);
        QVERIFY(!sim.received().contains("01 03 00 14 00 08 04 08"));
        QVERIFY(p.waitForFinished(15000));
        // The sequence ran to its end: commit and read-back, and the settings stored;
        // then the signal, so a script that ran the tool stops too.
        QCOMPARE(p.exitStatus(), QProcess::CrashExit);
        QCOMPARE(p.exitCode(), signal);
        QVERIFY(sim.received().contains("01 03 00 14 00 08 04 08"));
        QCOMPARE(sim->reg(25), uint16_t(5));
        QVERIFY(QString::fromUtf8(p.readAllStandardOutput()).contains("filter: 5"));
    }

    void manualPageCoversTheUsage()
    {
        // Every option and command the program lists is in its manual page.
        const Result help = RunCli({"--help"}, "/nonexistent");
        QCOMPARE(help.status, 0);
        QString page = QString::fromUtf8(ReadAll(TALVEX_CLI_MAN_PAGE));
        QVERIFY(!page.isEmpty());
        page.replace("\\-", "-").replace("\\fB", "").replace("\\fR", "").replace("\\fI", "");
        static const QRegularExpression option(R"((?<![\w-])(--?[a-z][a-z0-9-]*))");
        QStringList checked;
        for (auto it = option.globalMatch(help.out); it.hasNext();) {
            const QString name = it.next().captured(1);
            if (!checked.contains(name))
                checked << name;
        }
        QVERIFY(checked.size() >= 20);
        for (const QString &name : checked)
            QVERIFY2(page.contains(name), qPrintable(name));
        for (const char *command : {"info", "read", "watch", "write", "configure", "flash", "ports", "doctor"})
            QVERIFY2(page.contains(QStringLiteral(".B %1").arg(command)) ||
                         page.contains(QStringLiteral(".BR %1").arg(command)) ||
                         page.contains(QStringLiteral(".BI %1").arg(command)),
                     command);
        for (const char *section : {"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "COMMANDS", "JSON OUTPUT",
                                    "ENVIRONMENT", "EXIT STATUS", "EXAMPLES"})
            QVERIFY2(page.contains(QStringLiteral(".SH %1\n").arg(section)), section);
        QVERIFY(page.contains("TALVEX_PORT_DIR"));
    }

    void helpAndVersionNeedNoPort()
    {
        const Result help = RunCli({"--help"}, "/nonexistent");
        QCOMPARE(help.status, 0);
        QVERIFY(help.out.startsWith("usage: talvex-cli "));
        const Result version = RunCli({"--version"}, "/nonexistent");
        QCOMPARE(version.status, 0);
        QVERIFY(version.out.startsWith("talvex-cli "));
        QVERIFY(version.out.contains("firmware image: "));
    }

    void readPrintsRegisterAndValue_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QString>("request");
        QTest::newRow("outputs 10 ... 13")
            << QStringList{"read", "10", "4"} << QStringList{"10 1111", "11 0", "12 65535", "13 42"}
            << "01 03 00 0A 00 04 64 0B";
        QTest::newRow("beyond the mirror: the reply counters")
            << QStringList{"read", "300", "2"} << QStringList{"300 7", "301 0"} << "01 03 01 2C 00 02 04 3E";
        QTest::newRow("json") << QStringList{"--json", "read", "28", "1"}
                              << QStringList{R"({"register":28,"value":150})"} << "";
    }
    void readPrintsRegisterAndValue()
    {
        QFETCH(QStringList, args);
        QFETCH(QStringList, lines);
        QFETCH(QString, request);
        LoggedSim sim;
        sim->setReg(10, 1111);
        sim->setReg(12, 65535);
        sim->setReg(13, 42);
        sim->setReg(300, 7);
        sim->setReg(301, 0);
        const Result r = RunCli(QStringList{"-p", "COM2"} + args, sim.portDir());
        QVERIFY2(r.status == 0, qPrintable(Describe(r)));
        QCOMPARE(Lines(r.out), lines);
        QVERIFY2(r.err.isEmpty(), qPrintable(r.err));
        if (!request.isEmpty())
            QCOMPARE(sim.received(), QStringList{request});  // one request, no handshake, no write
    }

    void readTheDefaultBlock()
    {
        LoggedSim sim;
        const Result r = RunCli({"-p", "COM2", "-q", "read"}, sim.portDir());
        QVERIFY2(r.status == 0, qPrintable(Describe(r)));
        const QStringList lines = Lines(r.out);
        QCOMPARE(lines.size(), 32);
        QCOMPARE(lines.first().section(' ', 0, 0), QString("0"));
        QCOMPARE(lines[28], QString("28 150"));
        QCOMPARE(lines[31], QString("31 0"));
        QCOMPARE(sim.received(), QStringList{"01 03 00 00 00 20 44 12"});
    }

    void writeIsEchoChecked()
    {
        LoggedSim sim;
        const Result r = RunCli({"-p", "COM2", "write", "12", "777"}, sim.portDir());
        QVERIFY2(r.status == 0, qPrintable(Describe(r)));
        QCOMPARE(r.out, QString("12 777\n"));
        QCOMPARE(sim->reg(12), uint16_t(777));
        // With --echo auto a read learns the line first: a write's answer is a copy
        // of its request, which an echoing adapter would hand back by itself.
        QCOMPARE(sim.received(), (QStringList{"01 03 00 00 00 20 44 12", "01 06 00 0C 03 09 89 3F"}));
    }

    void watchPrintsOneLinePerExchange()
    {
        LoggedSim sim;
        sim->setReg(11, 2500);
        sim->setReg(17, 98);
        const Result r = RunCli({"-p", "COM2", "watch", "-n", "3", "-i", "200"}, sim.portDir());
        QVERIFY2(r.status == 0, qPrintable(Describe(r)));
        const QStringList lines = Lines(r.out);
        QCOMPARE(lines.size(), 4);
        QVERIFY(lines[0].startsWith("#"));
        QCOMPARE(lines[0].split(' ', Qt::SkipEmptyParts).mid(1),
                 (QStringList{"AD0", "AD1", "AD2", "AD3", "AD4", "AD5", "AD6", "AD7", "DA0", "DA1", "DA2", "DA3", "G0",
                              "G1", "G2", "G3"}));
        for (int i = 1; i < 4; ++i) {
            const QStringList fields = lines[i].split(' ', Qt::SkipEmptyParts);
            QCOMPARE(fields.size(), 16);
            for (int ad = 0; ad < 8; ++ad)
                QVERIFY(fields[ad].toInt() <= 4095);  // 12-bit conversions
            QCOMPARE(fields.mid(8), (QStringList{"0", "2500", "0", "0", "100", "100", "100", "98"}));
        }
        // One request per line, no sooner than the interval after the one before.
        QFile log(sim.logPath());
        QVERIFY(log.open(QIODevice::ReadOnly));
        QList<double> sent;
        for (const QByteArray &line : log.readAll().split('\n'))
            if (line.contains(" rx 01 03 00 00 00 20"))
                sent << line.trimmed().split(' ').first().toDouble();
        QCOMPARE(sent.size(), 3);
        for (int i = 1; i < sent.size(); ++i)
            QVERIFY2(sent[i] - sent[i - 1] >= 180, qPrintable(QString::number(sent[i] - sent[i - 1])));

        const Result j = RunCli({"-p", "COM2", "--json", "watch", "-n", "2"}, sim.portDir());
        QCOMPARE(j.status, 0);
        const QStringList objects = Lines(j.out);
        QCOMPARE(objects.size(), 2);
        for (int i = 0; i < 2; ++i) {
            const QJsonObject o = QJsonDocument::fromJson(objects[i].toUtf8()).object();
            QCOMPARE(o["exchange"].toInt(), i + 1);
            QCOMPARE(o["ad"].toArray().size(), 8);
            QCOMPARE(o["da"].toArray().at(1).toInt(), 2500);
            QCOMPARE(o["gain"].toArray().at(3).toInt(), 98);
        }
    }

    // Every JSON line of a watch carries its time, and a request that got no
    // reply is a line of its own, so a series shows its gaps.
    void watchLinesCarryTheirTimeAndGaps()
    {
        LoggedSim sim;
        FaultPlan faults;
        faults.dropEvery = 2;
        sim->setFaults(faults);
        const Result r = RunCli({"-p", "COM2", "--json", "watch", "-n", "3"}, sim.portDir());
        QVERIFY2(r.status == 0, qPrintable(Describe(r)));
        int exchanges = 0;
        int gaps = 0;
        for (const QString &line : Lines(r.out)) {
            const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
            const QDateTime time = QDateTime::fromString(o["time"].toString(), Qt::ISODateWithMs);
            QVERIFY2(time.isValid() && time.timeSpec() == Qt::UTC, qPrintable(line));
            QVERIFY(qAbs(time.secsTo(QDateTime::currentDateTimeUtc())) < 60);
            if (o.contains("error")) {
                QCOMPARE(o, (QJsonObject{{"time", o["time"]}, {"error", "no reply"}}));
                ++gaps;
            } else {
                QCOMPARE(o["exchange"].toInt(), ++exchanges);
            }
        }
        QCOMPARE(exchanges, 3);
        QVERIFY(gaps >= 1);
    }

    void watchEndsCleanlyWhenInterrupted()
    {
        LoggedSim sim;
        QProcess p;
        StartCli(p, {"-p", "COM2", "-q", "watch"}, sim.portDir());
        QByteArray out;
        QTRY_VERIFY((out += p.readAllStandardOutput()).count('\n') >= 3);
        p.terminate();  // SIGTERM, as a service manager or Ctrl-C would end it
        QVERIFY(p.waitForFinished(5000));
        // It ends cleanly, then by the signal: a shell loop around it stops too.
        QCOMPARE(p.exitStatus(), QProcess::CrashExit);
        QCOMPARE(p.exitCode(), int(SIGTERM));
        // The port was closed: it opens again at once.
        QCOMPARE(RunCli({"-p", "COM2", "read", "28", "1"}, sim.portDir()).out, QString("28 150\n"));
    }

    void configureWritesTheFramedSequence()
    {
        LoggedSim sim;  // the module's defaults: station 1, 500K, 57600, 100 ms, filter 3, 8 E 1
        const Result r = RunCli(
            {"-p", "COM2", "configure", "--can-baud", "250k", "--rs485-format", "8N1", "--suppress", "250"},
            sim.portDir());
        QVERIFY2(r.status == 0, qPrintable(Describe(r)));
        QVERIFY(r.out.contains("can-baud: 250K\n"));
        QVERIFY(r.out.contains("rs485-format: 8 N 1\n"));
        QVERIFY(r.out.contains("filter: 3 (三级)\n"));
        // The read-back, then unlock, the six settings (omitted ones as read) and commit, in
        // order, then registers 20 ... 27 read to see that the module stored them.
        const QStringList expected = {
            "01 03 00 00 00 20 44 12",
            "01 06 00 14 1C 1C C0 C7",  // 20 := 7196
            "01 06 00 15 00 01",        // 21 := 1, as read
            "01 06 00 16 00 05",        // 22 := 5, "250K"
            "01 06 00 17 00 03",        // 23 := 3, "57600", as read
            "01 06 00 18 00 FA",        // 24 := 250
            "01 06 00 19 00 03",        // 25 := 3, as read
            "01 06 00 1A 00 00",        // 26 := 0, "8 N 1"
            "01 06 00 1B D4 D4 A6 92",  // 27 := 54484
            "01 03 00 14 00 08 04 08",  // 20 ... 27 read back
        };
        const QStringList frames = sim.received();
        QCOMPARE(frames.size(), expected.size());
        for (int i = 0; i < frames.size(); ++i)
            QVERIFY2(frames[i].startsWith(expected[i]), qPrintable(frames[i] + " vs " + expected[i]));
        // Committed: both codes cleared, and the record is in force after a restart.
        QCOMPARE(sim->reg(20), uint16_t(0));
        QCOMPARE(sim->reg(27), uint16_t(0));
        sim->powerCycle();
        const uint16_t stored[] = {1, 5, 3, 250, 3, 0};
        for (int i = 0; i < 6; ++i)
            QCOMPARE(sim->reg(21 + i), stored[i]);
    }

    // The command line writes the configuration through the windows' own sequence:
    // a module late with every reply has each write taken once (a commit code taken
    // twice would stay in its slot) and the read-back waits for its replies.
    void configureConfirmedWhenTheModuleAnswersLate_data()
    {
        QTest::addColumn<int>("delayMs");
        QTest::newRow("80 ms late") << 80;
        QTest::newRow("120 ms late") << 120;
    }
    void configureConfirmedWhenTheModuleAnswersLate()
    {
        QFETCH(int, delayMs);
        LoggedSim sim;
        FaultPlan late;
        late.delayMs = uint32_t(delayMs);
        sim->setFaults(late);
        const Result r = RunCli({"-p", "COM2", "configure", "--filter", "6"}, sim.portDir());
        QVERIFY2(r.status == 0, qPrintable(Describe(r)));
        QCOMPARE(sim.received().filter("01 06 00 1B D4 D4").size(), 1);
        sim->setFaults(FaultPlan{});
        sim->powerCycle();
        QCOMPARE(sim->reg(25), uint16_t(6));
    }

    void infoDecodesWithTheWindowsTables()
    {
        LoggedSim sim;
        sim->setReg(28, 105);
        sim->setReg(21, 0);  // below the station range: shown as stored, not as 1
        sim->setReg(22, 9);  // outside the CAN list
        sim->setReg(24, 0);  // below the suppression range: shown as stored, not as 1 ms
        const Result r = RunCli({"-p", "COM2", "info"}, sim.portDir());
        QVERIFY2(r.status == 0, qPrintable(Describe(r)));
        QCOMPARE(Lines(r.out),
                 (QStringList{"firmware: 1.5", "station: unknown (register 21 holds 0)",
                              "can-baud: unknown (register 22 holds 9)", "rs485-baud: 57600", "rs485-format: 8 E 1",
                              "filter: 3 (三级)", "suppress: unknown (register 24 holds 0)"}));
        const Result j = RunCli({"-p", "COM2", "--json", "info"}, sim.portDir());
        QCOMPARE(j.status, 0);
        QCOMPARE(Lines(j.out).size(), 1);
        const QJsonObject o = QJsonDocument::fromJson(j.out.toUtf8()).object();
        QCOMPARE(o["firmware"].toString(), QString("1.5"));
        QCOMPARE(o["firmware_word"].toInt(), 105);
        QVERIFY(o["can_baud"].isNull());
        QCOMPARE(o["rs485_baud"].toString(), QString("57600"));
        QCOMPARE(o["filter"].toInt(), 3);
        QVERIFY(o["station"].isNull());
        QVERIFY(o["suppress_ms"].isNull());
        QCOMPARE(o["stored"].toObject()["21"].toInt(), 0);
        QCOMPARE(o["stored"].toObject()["24"].toInt(), 0);
        QCOMPARE(o["mode"].toString(), QString("pc-uart"));
        QCOMPARE(o["port"].toString(), QString("COM2"));
        QCOMPARE(o["address"].toInt(), 1);
        QVERIFY(QDateTime::fromString(o["time"].toString(), Qt::ISODateWithMs).isValid());
        QVERIFY(o["time"].toString().endsWith('Z'));
        QVERIFY(!o.contains("unlocked"));

        // A setting outside its range or list is not sent back as garbage nor as
        // the nearest legal value: configure names each one and writes nothing.
        const Result c = RunCli({"-p", "COM2", "configure", "--filter", "1"}, sim.portDir());
        QVERIFY2(c.status == 2 && c.err.contains("--can-baud") && c.err.contains("--station (register 21 holds 0)") &&
                     c.err.contains("--suppress (register 24 holds 0)"),
                 qPrintable(Describe(c)));
        QVERIFY(sim.received().filter(QRegularExpression("^01 06")).isEmpty());

        // Given by the user, they are written.
        const Result given = RunCli({"-p", "COM2", "-q", "configure", "--filter", "1", "--station", "4", "--suppress",
                                     "20", "--can-baud", "125k"},
                                    sim.portDir());
        QVERIFY2(given.status == 0, qPrintable(Describe(given)));
        QCOMPARE(sim->reg(21), uint16_t(4));
        QCOMPARE(sim->reg(24), uint16_t(20));
    }

    void infoThroughThePlcGateway()
    {
        // The simulator as its own program, in front of the module's CAN side.
        QTemporaryDir dir;
        QDir(dir.path()).mkpath("ports");
        const QString log = dir.path() + "/frames.log";
        QProcess sim;
        EndWithParent(sim);
        sim.start(TALVEX_SIM_EXE, {"--port-dir", dir.path() + "/ports", "--com", "4", "--mode", "gateway",
                                   "--state-dir", dir.path() + "/state", "--log", log});
        QVERIFY(sim.waitForStarted());
        QByteArray said;
        QTRY_VERIFY((said += sim.readAllStandardOutput()).contains("mode gateway"));

        const Result r = RunCli({"-p", "COM4", "-m", "plc-can", "--json", "info"}, dir.path() + "/ports");
        QVERIFY2(r.status == 0, qPrintable(Describe(r)));
        const QJsonObject o = QJsonDocument::fromJson(r.out.toUtf8()).object();
        QCOMPARE(o["mode"].toString(), QString("plc-can"));
        QCOMPARE(o["unlocked"].toBool(), true);
        QCOMPARE(o["firmware"].toString(), QString("1.50"));
        QCOMPARE(o["rs485_baud"].toString(), QString("57600"));

        // Every request went to 2200 + r; the unlock pair went out until the module confirmed.
        const QStringList frames = FramesIn(log, "rx");
        QVERIFY(frames.size() >= 4);
        QCOMPARE(frames.first(), QString("01 03 08 98 00 20 C7 9D"));
        QVERIFY(frames.contains("01 06 08 98 3C 3C 1B 54"));
        QVERIFY(frames.contains("01 06 08 99 C3 C3 4B 24"));
        QCOMPARE(frames.last(), QString("01 03 08 98 00 20 C7 9D"));
        for (const QString &f : frames)
            QVERIFY2(f.startsWith("01 03 08 98") || f.startsWith("01 06 08 98") || f.startsWith("01 06 08 99"),
                     qPrintable(f));

        sim.write("get 29\n");
        QTRY_VERIFY((said += sim.readAllStandardOutput()).contains("29 6666"));
        sim.write("quit\n");
        QVERIFY(sim.waitForFinished(5000));
    }

    void productionLine()
    {
        // A module on the previous firmware: flash, configure, verify.
        LoggedSim sim(SimMode::FixedPort, true, 149);
        const QByteArray image = ReadAll(TALVEX_FIRMWARE_IMAGE_ABS);
        QVERIFY(!image.isEmpty());

        const Result flash = RunCli({"-p", "COM2", "flash"}, sim.portDir());
        QVERIFY2(flash.status == 0, qPrintable(Describe(flash)));
        QCOMPARE(Lines(flash.out).first(),
                 QString("flashed %1 bytes at 0x08000000, verified (1 of 3 runs)").arg(image.size()));
        // Not a terminal: each stage once, not every percentage, in the command line's own words.
        QVERIFY2(flash.err.count("writing") == 1 && flash.err.count("verifying") == 1, qPrintable(flash.err));
        QVERIFY2(!flash.err.contains("写进度") && !flash.err.contains("上载完成"), qPrintable(flash.err));
        QVERIFY(FlashHolds(*sim.sim, image));

        const Result configure = RunCli({"-p", "COM2", "-q", "configure", "--station", "7", "--filter", "0"},
                                        sim.portDir());
        QVERIFY2(configure.status == 0, qPrintable(Describe(configure)));
        QVERIFY(configure.err.isEmpty());  // -q

        const Result info = RunCli({"-p", "COM2", "--json", "info"}, sim.portDir());
        QVERIFY2(info.status == 0, qPrintable(Describe(info)));
        const QJsonObject o = QJsonDocument::fromJson(info.out.toUtf8()).object();
        QCOMPARE(o["firmware"].toString(), QString("1.50"));  // the module runs the new image
        QCOMPARE(o["station"].toInt(), 7);
        QCOMPARE(o["filter"].toInt(), 0);
    }

    void flashAnImageFile()
    {
        LoggedSim sim;
        // An odd size: the last block is short.
        const QString path = makeFile("module.bin", 3 * 1024 + 5);
        const Result r = RunCli({"-p", "COM2", "-q", "--json", "flash", "--image", path}, sim.portDir());
        QVERIFY2(r.status == 0, qPrintable(Describe(r)));
        QVERIFY(r.err.isEmpty());
        const QJsonObject o = QJsonDocument::fromJson(r.out.toUtf8()).object();
        QCOMPARE(o["flashed"].toBool(), true);
        QCOMPARE(o["bytes"].toInt(), 3 * 1024 + 5);
        QCOMPARE(o["standin"].toBool(), false);
        QVERIFY(FlashHolds(*sim.sim, ReadAll(path)));
    }

    // The runs started in initTestCase, last: the quick cases above ran while they waited.
    void writeToASilentModuleFailsAfterSixAttempts()
    {
        StartedRun run = take(QTest::currentTestFunction());
        QVERIFY(run.run);
        const Result r = run.run->finish();
        QVERIFY2(r.status == 1, qPrintable(Describe(r)));
        QVERIFY(r.out.isEmpty());  // a failure is never a result
        QVERIFY2(r.err.contains("register 12") && r.err.contains("6 attempts"), qPrintable(r.err));
        QCOMPARE(run.sim->received(), QStringList(6, "01 06 00 0C 03 09 89 3F"));
        // Six attempts of 25 waits of 2 ms and 100 ms of rest each.
        QVERIFY2(r.ms >= 6 * (25 * 2 + 100), qPrintable(QString::number(r.ms)));
    }

    void silentModuleIsNoResult_data()
    {
        QTest::addColumn<QString>("request");
        for (const SilentCase &c : SilentModuleCases())
            QTest::newRow(c.tag) << c.request;
    }
    void silentModuleIsNoResult()
    {
        QFETCH(QString, request);
        StartedRun run = take(QString(QTest::currentTestFunction()) + "/" + QTest::currentDataTag());
        QVERIFY(run.run);
        const Result r = run.run->finish();
        QVERIFY2(r.status == 1, qPrintable(Describe(r)));
        QVERIFY(r.out.isEmpty());
        QVERIFY2(r.err.contains("no answer from station 1 on COM2"), qPrintable(r.err));
        // Three requests, each given the window's 20 waiting ticks; no write.
        QCOMPARE(run.sim->received(), QStringList(3, request));
        QVERIFY2(r.ms >= 3 * 20 * 30, qPrintable(QString::number(r.ms)));
    }

    void flashOnASilentChipFailsAfterThreeRuns()
    {
        StartedRun run = take(QTest::currentTestFunction());
        QVERIFY(run.run);
        const Result r = run.run->finish();
        QVERIFY2(r.status == 1, qPrintable(Describe(r)));
        QVERIFY(r.out.isEmpty());
        QVERIFY2(r.err.contains("update failed (3 of 3 runs)"), qPrintable(r.err));
        // One sync byte per run, and nothing else: no run got further.
        QCOMPARE(run.sim->received(), QStringList(3, "7F"));
        // Each run: the line sequence (two waits of the default --entry-ms, 50 ms),
        // then four ticks of the 1 s time-out (a coarse timer, which may fire up to 5 %
        // early); the last run's restart holds reset once more.
        constexpr int kEntryMs = 50;
        QVERIFY2(r.ms >= 3 * (2 * kEntryMs + 4 * 950) + kEntryMs, qPrintable(QString::number(r.ms)));
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
