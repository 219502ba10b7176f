// Finding a lost module from a shell: talvex-cli scan, and --baud and --format,
// as processes against the simulated module. A module is given station 37,
// 19200 baud and 8 O 1 through configure, then restarts on its RS-485 port:
// the default line finds nothing there, the scan finds it, and the line it names
// reaches it. Three modules on one bus (talvex-sim --bus) are all listed.
#include "app/cli/Options.h"
#include "sim/Simulator.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/CliHarness.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

#include <csignal>

namespace {

constexpr int kSimStartMs = 5000;

// The JSON objects of a run's standard output, one per line.
QList<QJsonObject> Objects(const QString &out)
{
    QList<QJsonObject> objects;
    for (const QString &line : Lines(out))
        objects << QJsonDocument::fromJson(line.toUtf8()).object();
    return objects;
}

// The simulated module on a thread of its own as COM1, with its settings in `state`.
std::unique_ptr<Simulator> StartSim(const QString &ports, const QString &state, SimMode mode, bool garble = false,
                                    const QString &log = {})
{
    SimOptions o;
    o.logPath = log.toStdString();
    o.portDir = ports.toStdString();
    o.stateDir = state.toStdString();
    o.com = 1;
    o.mode = mode;
    o.garbleWrongLine = garble;
    auto sim = std::make_unique<Simulator>(o);
    std::string error;
    if (!sim->start(error))
        qFatal("simulator: %s", error.c_str());
    return sim;
}

}  // namespace

class TestCliScan : public QObject {
    Q_OBJECT

private slots:
    void aLostModuleIsFound()
    {
        QTemporaryDir dir;
        const QString ports = dir.path() + "/ports", state = dir.path() + "/state";
        {
            const auto fixed = StartSim(ports, state, SimMode::FixedPort);
            const Result r = RunCli(
                {"-p", "COM1", "configure", "--station", "37", "--rs485-baud", "19200", "--rs485-format", "8 O 1"},
                ports);
            QVERIFY2(r.status == 0, qPrintable(Describe(r)));
        }
        // From its next start the RS-485 port runs only station 37 at 19200 8 O 1; a
        // tool on another line gets garbage.
        const QString log = dir.path() + "/frames.log";
        const auto sim = StartSim(ports, state, SimMode::Rs485Port, true, log);

        const Result lost = RunCli({"-p", "COM1", "-a", "37", "info"}, ports);
        QCOMPARE(lost.status, 1);
        QVERIFY(!FramesIn(log, "tx").isEmpty());  // garbage, never an answer
        QVERIFY(ReadAll(log).contains("garbage: the tool is on another line"));
        QVERIFY2(lost.err.contains("no answer from station 37 on COM1"), qPrintable(lost.err));
        QVERIFY2(lost.err.contains("talvex-cli -p COM1 scan"), qPrintable(lost.err));

        const Result scan = RunCli({"-p", "COM1", "--json", "scan"}, ports);
        QVERIFY2(scan.status == 0, qPrintable(Describe(scan)));
        const QList<QJsonObject> objects = Objects(scan.out);
        QCOMPARE(objects.size(), 2);
        const QJsonObject m = objects[0];
        QCOMPARE(m["station"].toInt(), 37);
        QCOMPARE(m["baud"].toInt(), 19200);
        QCOMPARE(m["format"].toString(), QString("8 O 1"));
        QCOMPARE(m["firmware"].toString(), QString("1.50"));
        const QJsonObject settings = m["settings"].toObject();
        QCOMPARE(settings["station"].toInt(), 37);
        QCOMPARE(settings["rs485_baud"].toString(), QString("19200"));
        QCOMPARE(settings["rs485_format"].toString(), QString("8 O 1"));
        QCOMPARE(settings["can_baud"].toString(), QString("500K"));
        const QJsonObject summary = objects[1];
        QVERIFY(summary["summary"].toBool());
        QCOMPARE(summary["found"].toInt(), 1);
        QVERIFY(!summary["complete"].toBool());  // it stopped at the module
        QVERIFY(summary["probes"].toInt() < summary["planned_probes"].toInt());

        const Result info = RunCli({"-p", "COM1", "-a", "37", "--baud", "19200", "--format", "8O1", "--json", "info"},
                                   ports);
        QVERIFY2(info.status == 0, qPrintable(Describe(info)));
        const QJsonObject o = QJsonDocument::fromJson(info.out.toUtf8()).object();
        QCOMPARE(o["baud"].toInt(), 19200);
        QCOMPARE(o["format"].toString(), QString("8 O 1"));
        QCOMPARE(o["address"].toInt(), 37);
        QCOMPARE(o["station"].toInt(), 37);
        // The text names the line too, and the options go after the command word as well.
        const Result text = RunCli({"-p", "COM1", "-a", "37", "info", "--baud", "19200", "--format", "8 O 1"}, ports);
        QVERIFY2(text.status == 0, qPrintable(Describe(text)));
        QVERIFY2(text.out.contains("line: 19200 8 O 1\n"), qPrintable(text.out));
    }

    void infoNamesTheDefaultLine()
    {
        LoggedSim sim;
        const Result r = RunCli({"-p", "COM2", "--json", "info"}, sim.portDir());
        QVERIFY2(r.status == 0, qPrintable(Describe(r)));
        const QJsonObject o = QJsonDocument::fromJson(r.out.toUtf8()).object();
        QCOMPARE(o["baud"].toInt(), 57600);
        QCOMPARE(o["format"].toString(), QString("8 E 1"));
    }

    // talvex-sim --bus: each module answers its station only, keeps its own
    // settings in its own folder, and runs the line it stored.
    void threeModulesOnOneBus()
    {
        QTemporaryDir dir;
        const QString ports = dir.path() + "/ports", state = dir.path() + "/state";
        QProcess sim;
        EndWithParent(sim);
        sim.start(TALVEX_SIM_EXE, {"--port-dir", ports, "--state-dir", state, "--com", "1", "--bus", "3,37,90"});
        QVERIFY(sim.waitForReadyRead(kSimStartMs));
        QVERIFY(QString::fromUtf8(sim.readAllStandardOutput()).contains("mode rs485"));

        // Module 90 moves to 38400 8 O 1; the others keep the default line.
        const Result configure = RunCli(
            {"-p", "COM1", "-a", "90", "configure", "--rs485-baud", "38400", "--rs485-format", "8O1"}, ports);
        QVERIFY2(configure.status == 0, qPrintable(Describe(configure)));
        const Result read37 = RunCli({"-p", "COM1", "-a", "37", "read", "21", "1"}, ports);
        QCOMPARE(read37.out, QString("21 37\n"));
        ::kill(pid_t(sim.processId()), SIGUSR1);  // a power cycle of the bus
        QTest::qWait(200);

        const Result scan = RunCli({"-p", "COM1", "--json", "scan", "--all"}, ports);
        QVERIFY2(scan.status == 0, qPrintable(Describe(scan)));
        QStringList found;
        for (const QJsonObject &o : Objects(scan.out))
            if (!o["summary"].toBool())
                found
                    << QString("%1 %2 %3").arg(o["station"].toInt()).arg(o["baud"].toInt()).arg(o["format"].toString());
        QCOMPARE(found, (QStringList{"3 57600 8 E 1", "37 57600 8 E 1", "90 38400 8 O 1"}));
        const QJsonObject summary = Objects(scan.out).last();
        QCOMPARE(summary["found"].toInt(), 3);
        QVERIFY(summary["complete"].toBool());
        QCOMPARE(summary["probes"].toInt(), 99 * 4 * 3);
        for (const char *folder : {"COM1-station-3", "COM1-station-37", "COM1-station-90"})
            QVERIFY2(QFileInfo(state + "/" + folder).isDir(), folder);
        QVERIFY(QFileInfo(state + "/COM1-station-90/settings").isFile());
        QVERIFY(!QFileInfo(state + "/COM1-station-3/settings").exists());
        sim.terminate();
        QVERIFY(sim.waitForFinished(kSimStartMs));
    }

    void noModuleIsExitOne()
    {
        LoggedSim sim;  // the fixed port answers station 1 only
        const Result r = RunCli(
            {"-p", "COM2", "scan", "--stations", "2-4", "--bauds", "57600,19200", "--formats", "8E1"}, sim.portDir());
        QCOMPARE(r.status, 1);
        QVERIFY2(r.out.startsWith("0 modules found; 6 of 6 probes in ") && r.out.endsWith(" s\n"), qPrintable(r.out));
        QVERIFY2(r.err.contains("no module answered on COM2 (6 probes)"), qPrintable(r.err));
        // Progress: a line for each line of the search.
        QVERIFY2(r.err.contains("scanning 57600 8 E 1"), qPrintable(r.err));
        QVERIFY2(r.err.contains("scanning 19200 8 E 1"), qPrintable(r.err));
    }

    void interruptedIs130()
    {
        LoggedSim sim(SimMode::Rs485Port);
        QProcess p;
        StartCli(p, {"-p", "COM2", "--json", "scan", "--stations", "2-99"}, sim.portDir());
        QVERIFY(p.waitForStarted());
        QTest::qWait(500);
        ::kill(pid_t(p.processId()), SIGINT);
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitCode(), 130);
        const QList<QJsonObject> objects = Objects(QString::fromUtf8(p.readAllStandardOutput()));
        QCOMPARE(objects.size(), 1);
        QVERIFY(objects[0]["interrupted"].toBool());
        QCOMPARE(objects[0]["found"].toInt(), 0);
    }

    void argumentsAreChecked_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("said");
        QTest::newRow("station out of range")
            << QStringList{"scan", "--stations", "0-5"} << "--stations: 0-5 is out of range (1 ... 99)";
        QTest::newRow("a range that runs backwards")
            << QStringList{"scan", "--stations", "37-5"} << "--stations: the range 37-5 runs backwards";
        QTest::newRow("not a list") << QStringList{"scan", "--stations", "1..5"}
                                    << "--stations: \"1..5\" is neither a number nor a range";
        QTest::newRow("unknown rate") << QStringList{"scan", "--bauds", "9600,115200"}
                                      << "--bauds: \"115200\" is not one of \"9600\", \"19200\", \"38400\", \"57600\"";
        QTest::newRow("unknown format") << QStringList{"scan", "--formats", "7E1"}
                                        << "--formats: \"7E1\" is not one of \"8 N 1\", \"8 O 1\", \"8 E 1\"";
        QTest::newRow("probe-ms") << QStringList{"scan", "--probe-ms", "x"}
                                  << "--probe-ms: \"x\" is neither a number nor a range";
        QTest::newRow("--baud") << QStringList{"--baud", "115200", "info"} << "--baud: \"115200\" is not one of";
        QTest::newRow("--baud takes one")
            << QStringList{"--baud", "9600,19200", "info"} << "--baud takes one baud rate";
        QTest::newRow("--format") << QStringList{"read", "--format", "8X1"} << "--format: \"8X1\" is not one of";
        QTest::newRow("scan through the gateway")
            << QStringList{"-m", "plc-can", "scan"} << "scan talks to modules directly (pc-uart)";
        QTest::newRow("scan with --baud")
            << QStringList{"--baud", "9600", "scan"} << "scan tries lines of its own: give --bauds and --formats";
        QTest::newRow("--all belongs to scan") << QStringList{"info", "--all"} << "unknown option --all";
    }
    void argumentsAreChecked()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, said);
        talvex::cli::Options o;
        QString error;
        QVERIFY(!talvex::cli::ParseArguments(args, o, error));
        QVERIFY2(error.contains(said), qPrintable(error));
    }

    void argumentsAreTaken()
    {
        talvex::cli::Options o;
        QString error;
        QVERIFY2(talvex::cli::ParseArguments({"--baud", "19200", "--format", "8 o 1", "-a", "37", "info"}, o, error),
                 qPrintable(error));
        QVERIFY(o.line == (TModbusLine{1, 1}));
        QVERIFY2(talvex::cli::ParseArguments({"scan", "--stations", "1-3,37", "--bauds", "9600,57600", "--formats",
                                              "8E1,8N1", "--all", "--probe-ms", "20"},
                                             o, error),
                 qPrintable(error));
        QCOMPARE(o.command, talvex::cli::Command::Scan);
        QCOMPARE(o.scan.Stations, (std::vector<int>{1, 2, 3, 37}));
        QCOMPARE(o.scan.Bauds, (std::vector<int>{0, 3}));
        QCOMPARE(o.scan.Formats, (std::vector<int>{2, 0}));
        QVERIFY(o.scan.All);
        QCOMPARE(o.scan.TurnaroundMs, uint32_t(20));
        QVERIFY(talvex::cli::ParseArguments({"scan"}, o, error));
        QCOMPARE(o.scan.TurnaroundMs, kTurnaroundAllowanceMs);
        QVERIFY(!o.scan.All && o.scan.Stations.empty());
        QVERIFY(o.line == kDefaultModbusLine);
    }
};

QTEST_GUILESS_MAIN(TestCliScan)
#include "tst_cli_scan.moc"
