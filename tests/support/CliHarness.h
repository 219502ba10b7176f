#pragma once
// talvex-cli run as a process against the simulated module on a pty: the run,
// its result, and the simulator with a frame log that a test reads back.
#include "Simulator.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <memory>

using talvex::sim::FaultPlan;
using talvex::sim::SimMode;
using talvex::sim::SimOptions;
using talvex::sim::Simulator;

namespace cli_harness {

inline constexpr int kSimCom = 2;

struct Result {
    int status = -1;
    QString out;
    QString err;
    qint64 ms = 0;
};

inline constexpr int kRunTimeoutMs = 60000;

// One run of the program with TALVEX_PORT_DIR = portDir, started at once. Its
// end is taken from the event loop, so runs started early go on while other
// cases run, and each one's time is its own.
class CliRun {
public:
    CliRun(const QStringList &args, const QString &portDir)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TALVEX_PORT_DIR", portDir);
        process_.setProcessEnvironment(env);
        QObject::connect(&process_, &QProcess::finished, [this] { finishedMs_ = clock_.elapsed(); });
        clock_.start();
        process_.start(TALVEX_CLI_EXE, args);
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

// Runs the program and waits for it.
inline Result RunCli(const QStringList &args, const QString &portDir, int timeoutMs = kRunTimeoutMs)
{
    return CliRun(args, portDir).finish(timeoutMs);
}

inline QString Describe(const Result &r)
{
    return QString("status %1\n--- stdout\n%2--- stderr\n%3").arg(r.status).arg(r.out, r.err);
}

// Frames in a simulator frame log, in order, as hex: "01 03 00 00 00 20 44 12".
inline QStringList FramesIn(const QString &logPath, const QString &direction)
{
    QFile f(logPath);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    static const QRegularExpression line(R"(^\s*[\d.]+ (rx|tx) ([0-9A-F ]+?)(\s\s\(.*\))?$)");
    QStringList frames;
    for (const QByteArray &raw : f.readAll().split('\n')) {
        const QRegularExpressionMatch m = line.match(QString::fromLatin1(raw));
        if (m.hasMatch() && m.captured(1) == direction)
            frames << m.captured(2).trimmed();
    }
    return frames;
}

// The simulated module on its own thread, linked as COM2, with a frame log.
struct LoggedSim {
    QTemporaryDir dir;
    std::unique_ptr<Simulator> sim;

    explicit LoggedSim(SimMode mode = SimMode::FixedPort, bool bootloader = true, uint16_t version = 150)
    {
        QDir(dir.path()).mkpath("ports");
        SimOptions options;
        options.portDir = portDir().toStdString();
        options.stateDir = (dir.path() + "/state").toStdString();
        options.logPath = logPath().toStdString();
        options.com = kSimCom;
        options.mode = mode;
        options.bootloader = bootloader;
        options.firmwareVersion = version;
        sim = std::make_unique<Simulator>(options);
        std::string error;
        if (!sim->start(error))
            qFatal("simulator: %s", error.c_str());
    }
    ~LoggedSim() { sim->stop(); }
    Simulator *operator->() { return sim.get(); }
    QString portDir() const { return dir.path() + "/ports"; }
    QString logPath() const { return dir.path() + "/frames.log"; }
    QStringList received() const { return FramesIn(logPath(), "rx"); }
};

inline QStringList Lines(const QString &text)
{
    return text.split('\n', Qt::SkipEmptyParts);
}

inline QByteArray ReadAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline bool FlashHolds(Simulator &sim, const QByteArray &image)
{
    bool holds = false;
    sim.withBootloader([&](talvex::sim::BootloaderPersonality &boot) {
        const auto flash = boot.chip().flash();
        const auto *bytes = reinterpret_cast<const uint8_t *>(image.constData());
        holds = !image.isEmpty() && flash.size() >= size_t(image.size()) &&
                std::equal(bytes, bytes + image.size(), flash.begin());
    });
    return holds;
}

} // namespace cli_harness

using namespace cli_harness;
