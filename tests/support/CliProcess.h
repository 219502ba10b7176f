#pragma once
// talvex-cli run as a process: its environment, its start, and what it came to.
// The runs take their end from the event loop, so a peer that answers on the
// same loop (a scripted module on a pty) keeps answering while one runs.
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTimer>

#include <utility>
#include <vector>

namespace cli_process {

inline constexpr int kRunTimeoutMs = 60000;

struct Result {
    int status = -1;
    QString out;
    QString err;
    qint64 ms = 0;
};

inline QString Describe(const Result &r)
{
    return QString("status %1\n--- stdout\n%2--- stderr\n%3").arg(r.status).arg(r.out, r.err);
}

// Variables set for one run on top of the test's own environment.
using EnvVars = std::vector<std::pair<QString, QString>>;

// The environment of a run: TALVEX_PORT_DIR = portDir unless portDir is empty,
// then `extra`.
inline QProcessEnvironment CliEnvironment(const QString &portDir, const EnvVars &extra = {})
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!portDir.isEmpty())
        env.insert("TALVEX_PORT_DIR", portDir);
    for (const auto &[name, value] : extra)
        env.insert(name, value);
    return env;
}

// Starts `p` as the program under test with `args`, for a test that drives the
// process itself (signals, standard output to a file).
inline void StartCli(QProcess &p, const QStringList &args, const QString &portDir, const EnvVars &extra = {})
{
    p.setProcessEnvironment(CliEnvironment(portDir, extra));
    p.start(TALVEX_CLI_EXE, args);
}

// One run, started at once. Runs started early go on while other cases run,
// and each one's time is its own.
class CliRun {
public:
    CliRun(const QStringList &args, const QString &portDir, const QString &program = TALVEX_CLI_EXE)
    {
        process_.setProcessEnvironment(CliEnvironment(portDir));
        QObject::connect(&process_, &QProcess::finished, [this] { finishedMs_ = clock_.elapsed(); });
        clock_.start();
        process_.start(program, args);
    }
    ~CliRun()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished();
        }
    }

    // Waits for the end (events are handled meanwhile); a run still going after
    // timeoutMs is killed and reported as "timed out".
    Result finish(int timeoutMs = kRunTimeoutMs)
    {
        if (finishedMs_ < 0 && process_.state() != QProcess::NotRunning) {
            QEventLoop loop;
            QObject::connect(&process_, &QProcess::finished, &loop, &QEventLoop::quit);
            QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
            loop.exec();
        }
        Result r;
        if (finishedMs_ < 0) {
            r.err = process_.state() == QProcess::NotRunning ? process_.errorString() : "timed out";
            return r;
        }
        r.ms = finishedMs_;
        r.status = process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
        r.out = QString::fromUtf8(process_.readAllStandardOutput());
        r.err = QString::fromUtf8(process_.readAllStandardError());
        return r;
    }

private:
    QProcess process_;
    QElapsedTimer clock_;
    qint64 finishedMs_ = -1;
};

// Runs the program and waits for it. An empty portDir leaves TALVEX_PORT_DIR as
// the test found it.
inline Result RunCli(const QStringList &args, const QString &portDir, int timeoutMs = kRunTimeoutMs)
{
    return CliRun(args, portDir).finish(timeoutMs);
}

}  // namespace cli_process

using namespace cli_process;
