// Protected modules, end to end: talvex-cli flash against the talvex-sim program
// started with a read-protected chip. Refused without --unprotect, nothing
// changed; --unprotect flashes, verifies and gives back the module's six settings
// (over Modbus and in the simulator's state folder); --protect leaves a chip that
// refuses reads; stm32flash protects and unprotects the same chip; a chip of
// another family is refused unless --any-chip.
#include "tests/support/ChildProcess.h"
#include "tests/support/CliProcess.h"
#include "tests/support/Stm32flashHost.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

constexpr int kStartMs = 5000;
constexpr int kStm32flashMs = 60000;
// A new host session starts the simulated chip afresh after this pause.
constexpr int kSessionPauseMs = 1000;
const QString kCom = QStringLiteral("COM6");

// Six settings none of which is the module's default: station 12, CAN 250K,
// RS-485 at 19200 8E1, filter 2, suppression 50 ms.
const QStringList kSettings = {"--station",      "12",  "--can-baud", "250K", "--rs485-baud", "19200",
                               "--rs485-format", "8E1", "--filter",   "2",    "--suppress",   "50"};

QJsonObject LastJson(const QString &text)
{
    const QStringList lines = text.split('\n', Qt::SkipEmptyParts);
    return lines.isEmpty() ? QJsonObject() : QJsonDocument::fromJson(lines.last().toUtf8()).object();
}

// talvex-sim as a program of its own, its standard input for commands.
class SimProcess {
public:
    explicit SimProcess(const QStringList &extra)
    {
        EndWithParent(process_);
        process_.start(TALVEX_SIM_EXE, QStringList{"--port-dir", dir_.filePath("ports"), "--com", "6", "--state-dir",
                                                   dir_.filePath("state")} +
                                           extra);
        QElapsedTimer t;
        t.start();
        while (!process_.canReadLine() && t.elapsed() < kStartMs)
            process_.waitForReadyRead(100);
        started_ = process_.readLine().startsWith("talvex-sim: ");
    }
    ~SimProcess()
    {
        if (process_.state() == QProcess::NotRunning)
            return;
        ::kill(pid_t(process_.processId()), SIGTERM);
        process_.waitForFinished(kStartMs);
    }
    bool started() const { return started_; }
    QString portDir() const { return dir_.filePath("ports"); }
    QString port() const { return dir_.filePath("ports/") + kCom; }
    QString stateFile() const { return dir_.filePath("state/module-COM6.settings"); }
    QString ask(const QByteArray &command)
    {
        process_.readAllStandardOutput();
        process_.write(command + "\n");
        QElapsedTimer t;
        t.start();
        while (!process_.canReadLine() && t.elapsed() < kStartMs)
            process_.waitForReadyRead(100);
        return QString::fromUtf8(process_.readLine()).trimmed();
    }
    bool readProtected() { return ask("status").contains("read-protected"); }
    QByteArray stored() const
    {
        QFile f(stateFile());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private:
    QTemporaryDir dir_;
    QProcess process_;
    bool started_ = false;
};

Result Cli(const SimProcess &sim, const QStringList &args)
{
    return RunCli(QStringList{"-p", kCom} + args, sim.portDir());
}

// The six settings as info --json lists them.
QJsonObject StoredWords(const SimProcess &sim)
{
    const Result r = Cli(sim, {"--json", "info"});
    return LastJson(r.out)["stored"].toObject();
}

}  // namespace

class TestCliProtection : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(QFileInfo::exists(TALVEX_SIM_EXE)); }

    void protectedChipRefusedWithoutTheOption()
    {
        SimProcess sim({"--protected"});
        QVERIFY(sim.started());
        Result r = Cli(sim, QStringList{"configure"} + kSettings);
        QVERIFY2(r.status == 0, qPrintable(Describe(r)));
        const QByteArray stored = sim.stored();
        QVERIFY(stored.contains("21 12\n"));

        r = Cli(sim, {"--json", "flash"});
        QCOMPARE(r.status, 1);
        const QJsonObject error = LastJson(r.err);
        QCOMPARE(error["stage"].toString(), QString("flash-size"));
        const QString text = error["error"].toString();
        QVERIFY2(text.contains("read-protected") && text.contains("flash --unprotect") &&
                     text.contains("erases all of the chip's flash") && text.contains("nothing was erased"),
                 qPrintable(text));
        // One run, no waiting out: the refusal comes at the first refused read.
        QVERIFY2(r.ms < 5000, qPrintable(QString::number(r.ms)));
        QVERIFY(sim.readProtected());
        QCOMPARE(sim.stored(), stored);
        QCOMPARE(StoredWords(sim)["21"].toInt(), 12);
    }

    void unprotectKeepsTheSixSettings()
    {
        SimProcess sim({"--protected"});
        QVERIFY(sim.started());
        Result r = Cli(sim, QStringList{"configure"} + kSettings);
        QVERIFY2(r.status == 0, qPrintable(Describe(r)));
        const QJsonObject before = StoredWords(sim);
        const QByteArray stored = sim.stored();

        r = Cli(sim, {"--json", "flash", "--unprotect"});
        QVERIFY2(r.status == 0, qPrintable(Describe(r)));
        const QJsonObject record = LastJson(r.out);
        QCOMPARE(record["read_protected"].toBool(), true);
        QCOMPARE(record["unprotected"].toBool(), true);
        QCOMPARE(record["verified"].toBool(), true);
        QCOMPARE(record["protected"].toBool(), false);
        QCOMPARE(record["settings_before"].toObject(), before);
        QCOMPARE(record["settings_after"].toObject(), before);
        QCOMPARE(record["settings_restored"].toBool(), true);
        QVERIFY(!sim.readProtected());
        // Over Modbus, and in the module's non-volatile memory.
        QCOMPARE(StoredWords(sim), before);
        QCOMPARE(sim.stored(), stored);
    }

    void unprotectNeedsTheModuleToAnswerFirst()
    {
        SimProcess sim({"--protected"});
        QVERIFY(sim.started());
        Result r = Cli(sim, QStringList{"configure"} + kSettings);
        QVERIFY2(r.status == 0, qPrintable(Describe(r)));
        const QByteArray stored = sim.stored();
        // Station 5 is not there: its settings cannot be read, nothing is touched.
        r = Cli(sim, {"-a", "5", "flash", "--unprotect"});
        QCOMPARE(r.status, 1);
        QVERIFY2(r.err.contains("station 5 does not answer") && r.err.contains("--discard-settings") &&
                     r.err.contains("nothing was changed"),
                 qPrintable(r.err));
        QVERIFY(sim.readProtected());
        QCOMPARE(sim.stored(), stored);
        // Asked to, it flashes all the same, and the module starts on its defaults.
        r = Cli(sim, {"-a", "5", "--json", "flash", "--unprotect", "--discard-settings"});
        QVERIFY2(r.status == 0, qPrintable(Describe(r)));
        QVERIFY(!LastJson(r.out).contains("settings_after"));
        QVERIFY(!sim.readProtected());
        QVERIFY(sim.stored().isEmpty());
        QCOMPARE(StoredWords(sim)["21"].toInt(), 1);
    }

    void protectLeavesAChipThatRefusesReads()
    {
        SimProcess sim({});
        QVERIFY(sim.started());
        Result r = Cli(sim, {"--json", "flash", "--protect"});
        QVERIFY2(r.status == 0, qPrintable(Describe(r)));
        QCOMPARE(LastJson(r.out)["protected"].toBool(), true);
        QCOMPARE(LastJson(r.out)["verified"].toBool(), true);
        QVERIFY(sim.readProtected());
        QTemporaryDir out;
        r = Cli(sim, {"read-flash", out.filePath("flash.bin")});
        QCOMPARE(r.status, 1);
        QVERIFY(!QFileInfo::exists(out.filePath("flash.bin")) || QFileInfo(out.filePath("flash.bin")).size() == 0);
        // The module still runs the program written before the protection.
        QCOMPARE(Cli(sim, {"info"}).status, 0);
    }

    // stm32flash, an independent host, takes the simulated chip's protection both
    // ways, and the tool sees what it did.
    void stm32flashAgrees()
    {
        SimProcess sim({});
        QVERIFY(sim.started());
        QTemporaryDir out;
        const QStringList line = {"-b", "115200", "-m", "8n1"};
        Stm32flashRun run = RunStm32flash(line + QStringList{"-j", sim.port()}, kStm32flashMs);
        QVERIFY2(run.exitCode == 0, qPrintable(run.output));
        QVERIFY(sim.readProtected());
        QTest::qWait(kSessionPauseMs);
        run = RunStm32flash(line + QStringList{"-r", out.filePath("read.bin"), sim.port()}, kStm32flashMs);
        QVERIFY2(run.exitCode != 0, qPrintable(run.output));
        QTest::qWait(kSessionPauseMs);
        QCOMPARE(Cli(sim, {"flash"}).status, 1);

        QTest::qWait(kSessionPauseMs);
        run = RunStm32flash(line + QStringList{"-k", sim.port()}, kStm32flashMs);
        QVERIFY2(run.exitCode == 0, qPrintable(run.output));
        QVERIFY(!sim.readProtected());
        Result r = Cli(sim, {"read-flash", out.filePath("flash.bin"), "--length", "1024"});
        QVERIFY2(r.status == 0, qPrintable(Describe(r)));
        QFile f(out.filePath("flash.bin"));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray(1024, char(0xFF)));
    }

    void writeProtectedPagesNamed()
    {
        SimProcess sim({"--write-protect", "2"});
        QVERIFY(sim.started());
        Result r = Cli(sim, {"flash"});
        QCOMPARE(r.status, 1);
        QVERIFY2(r.err.contains("pages 0 ... 3 of the image are write-protected") && r.err.contains("--unprotect"),
                 qPrintable(r.err));
        r = Cli(sim, {"--json", "flash", "--unprotect"});
        QVERIFY2(r.status == 0, qPrintable(Describe(r)));
        QCOMPARE(LastJson(r.out)["unprotected"].toBool(), true);
    }

    void anotherFamilysChipRefusedUnlessAsked()
    {
        SimProcess sim({"--product-id", "0x0414"});
        QVERIFY(sim.started());
        Result r = Cli(sim, {"--json", "flash"});
        QCOMPARE(r.status, 1);
        QVERIFY2(LastJson(r.err)["error"].toString().contains("product ID 0x0414"), qPrintable(r.err));
        r = Cli(sim, {"--json", "flash", "--any-chip"});
        QVERIFY2(r.status == 0, qPrintable(Describe(r)));
        QCOMPARE(LastJson(r.out)["product_id"].toString(), QString("0x0414"));
    }
};

QTEST_GUILESS_MAIN(TestCliProtection)
#include "tst_cli_protection.moc"
