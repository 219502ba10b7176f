// The talvex-sim program as a black box: a third-party Modbus master (mbpoll) reads
// and writes it, its standard input and SIGUSR1 reach the module, SIGTERM ends it.
#include "tests/support/ChildProcess.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

constexpr int kStartMs = 5000;
constexpr int kMasterMs = 10000;

// 57600 8N1: mbpoll reads its settings back, and a pty drops the parity bit (the bytes are the same).
QStringList MbpollOptions(int station)
{
    return {"-m", "rtu", "-a", QString::number(station), "-b", "57600", "-P", "none", "-t", "4", "-0", "-1", "-o", "1"};
}

}  // namespace

class TestSimThirdParty : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QProcess sim_;
    QString port_;
    QString mbpoll_;

    QString ask(const QByteArray &command)
    {
        sim_.readAllStandardOutput();
        sim_.write(command + "\n");
        QElapsedTimer t;
        t.start();
        while (!sim_.canReadLine() && t.elapsed() < kStartMs)
            sim_.waitForReadyRead(100);
        return QString::fromUtf8(sim_.readLine()).trimmed();
    }

    // mbpoll [options] device [values to write]
    QString master(int station, const QStringList &options, const QStringList &values, int &exitCode)
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(mbpoll_, MbpollOptions(station) + options + QStringList{port_} + values);
        if (!p.waitForFinished(kMasterMs))
            p.kill();
        exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        return QString::fromUtf8(p.readAll());
    }

private slots:
    void initTestCase()
    {
        mbpoll_ = QStandardPaths::findExecutable("mbpoll");
        QVERIFY2(!mbpoll_.isEmpty(), "mbpoll is not installed: run `make deps`");
        QVERIFY(QFileInfo::exists(TALVEX_SIM_EXE));
        port_ = dir_.filePath("ports/COM5");
        EndWithParent(sim_);
        sim_.start(TALVEX_SIM_EXE,
                   {"--port-dir", dir_.filePath("ports"), "--com", "5", "--state-dir", dir_.filePath("state")});
        QVERIFY(sim_.waitForStarted(kStartMs));
        QElapsedTimer t;
        t.start();
        while (!sim_.canReadLine() && t.elapsed() < kStartMs)
            sim_.waitForReadyRead(100);
        QVERIFY(sim_.readLine().startsWith("talvex-sim: "));
        QVERIFY(QFileInfo(port_).isSymLink());
    }

    void readsThirtyTwoFromZero()
    {
        int code = 0;
        const QString out = master(1, {"-r", "0", "-c", "32"}, {}, code);
        QVERIFY2(code == 0, qPrintable(out));
        QVERIFY2(out.contains(QRegularExpression(R"(\[28\]:\s+150\b)")), qPrintable(out));
        QVERIFY2(out.contains(QRegularExpression(R"(\[14\]:\s+100\b)")), qPrintable(out));
        QVERIFY2(out.contains(QRegularExpression(R"(\[31\]:\s+0\b)")), qPrintable(out));
    }

    void writesRegisterTen()
    {
        int code = 0;
        const QString out = master(1, {"-r", "10"}, {"1234"}, code);
        QVERIFY2(code == 0, qPrintable(out));
        QVERIFY2(out.contains("Written 1 references"), qPrintable(out));
        QCOMPARE(ask("get 10"), QString("10 1234"));
    }

    void otherStationTimesOut()
    {
        int code = 0;
        const QString out = master(2, {"-r", "0", "-c", "4"}, {}, code);
        QVERIFY2(!out.contains(QRegularExpression(R"(\[0\]:\s+\d)")), qPrintable(out));
        QVERIFY2(out.contains("timed out", Qt::CaseInsensitive), qPrintable(out));
    }

    void signalRestartsTheModule()
    {
        QCOMPARE(ask("set 14 55"), QString("ok"));
        ::kill(pid_t(sim_.processId()), SIGUSR1);
        QElapsedTimer t;
        t.start();
        QString answer;
        while ((answer = ask("get 14")) != "14 100" && t.elapsed() < kStartMs)
            QTest::qWait(20);
        QCOMPARE(answer, QString("14 100"));
        QCOMPARE(ask("get 10"), QString("10 0"));
    }

    void cleanupTestCase()
    {
        if (sim_.state() == QProcess::NotRunning)
            return;
        ::kill(pid_t(sim_.processId()), SIGTERM);
        QVERIFY(sim_.waitForFinished(kStartMs));
        QCOMPARE(sim_.exitCode(), 0);
        QVERIFY(!QFileInfo(port_).isSymLink());
    }
};

QTEST_GUILESS_MAIN(TestSimThirdParty)
#include "tst_sim_thirdparty.moc"
