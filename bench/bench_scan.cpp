// The search for a lost module against the simulated module (a process of its
// own), with the engine the command line and the find dialog run:
// - the tool's turnaround: from a probe sent to its reply in the receive buffer,
//   over a pseudo-terminal (no time on the wire), which the allowance must cover;
// - the whole default sweep (99 stations x 4 rates x 3 formats, --all) against
//   the sum of its computed waits (goal <= 1.05: no time lost between probes);
// - the time to find a module on the fixed port's line (goal <= 100 ms).
//
//   bench_scan [--turnaround N] [--finds N]
#include "bench/BenchSupport.h"
#include "modbus/ScanEngine.h"
#include "serial/PortNames.h"
#include "serial/QRT_ComDrv.h"
#include "tests/support/ChildProcess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

using bench::Arg;
using bench::RunFor;

constexpr int kDefaultTurnarounds = 300;
constexpr int kDefaultFinds = 10;
constexpr int kSimStartTimeoutMs = 5000;
constexpr int kReplyTimeoutMs = 1000;
constexpr int kSweepTimeoutMs = 120000;
constexpr double kGoalSweepRatio = 1.05;
constexpr double kGoalFindMs = 100;

double Percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

// The simulated module as COM1 in portDir. False if its port never appeared.
bool StartSim(QProcess &sim, const QString &portDir, const QString &stateDir, const QStringList &extra)
{
    QFile::remove(portDir + "/COM1");
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.setStandardOutputFile(QProcess::nullDevice());
    EndWithParent(sim);
    sim.start(QStringLiteral(TALVEX_SIM_EXE),
              QStringList{"--port-dir", portDir, "--com", "1", "--state-dir", stateDir} + extra);
    QElapsedTimer waited;
    waited.start();
    while (!QFileInfo::exists(portDir + "/COM1") && waited.elapsed() < kSimStartTimeoutMs)
        RunFor(20);
    return QFileInfo::exists(portDir + "/COM1");
}

void StopSim(QProcess &sim)
{
    sim.terminate();
    sim.waitForFinished(2000);
}

// Milliseconds from each probe sent to its whole reply in the receive buffer,
// taken as the driver takes bytes: the moment the port is readable.
std::vector<double> Turnarounds(int count)
{
    TQRTCommDriver driver;
    driver.SetComPort(pnCOM1);
    std::vector<double> ms;
    if (!OpenWithLine(driver, LineFormatOf(kDefaultModbusLine)))
        return ms;
    for (int i = 0; i < count; ++i) {
        const RequestFrame probe = ProbeRequest(1);
        driver.RxCount = 0;
        QElapsedTimer t;
        QEventLoop loop;
        QTimer timeout;
        timeout.setSingleShot(true);
        QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
        driver.SetOnReceiveData([&](TQRTCommDriver *, const uint8_t *, int32_t) {
            if (!FindReplies(driver.RxBuffer, driver.RxCount, kProbeCount).empty())
                loop.quit();
        });
        t.start();
        driver.SendData(probe.data(), int32_t(probe.size()));
        timeout.start(kReplyTimeoutMs);
        loop.exec();
        if (!FindReplies(driver.RxBuffer, driver.RxCount, kProbeCount).empty())
            ms.push_back(double(t.nsecsElapsed()) / 1e6);
        RunFor(2);  // the bus quiet between exchanges
    }
    driver.SetOnReceiveData({});
    driver.Close();
    return ms;
}

// One search to its end; the engine's figures stay for the caller.
TScanEnd Search(TScanEngine &engine, const TScanRequest &request, double *firstFoundMs = nullptr)
{
    QEventLoop loop;
    TScanEnd end = TScanEnd::Stopped;
    QElapsedTimer t;
    const auto found = QObject::connect(&engine, &TScanEngine::ModuleFound, [&] {
        if (firstFoundMs && *firstFoundMs < 0)
            *firstFoundMs = double(t.nsecsElapsed()) / 1e6;
    });
    const auto finished = QObject::connect(&engine, &TScanEngine::Finished, [&](TScanEnd e) {
        end = e;
        loop.quit();
    });
    QTimer::singleShot(kSweepTimeoutMs, &loop, &QEventLoop::quit);
    t.start();
    if (engine.Start(request) && engine.Running())
        loop.exec();
    engine.Stop();
    QObject::disconnect(found);
    QObject::disconnect(finished);
    return end;
}

}  // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int turnarounds = Arg(argc, argv, "--turnaround", kDefaultTurnarounds);
    const int finds = Arg(argc, argv, "--finds", kDefaultFinds);
    QTemporaryDir dir;
    const QString portDir = dir.path() + "/ports";
    qputenv(kPortDirEnv, portDir.toLocal8Bit());

    // The module on its fixed port: turnaround, then the time to find it.
    QProcess fixed;
    if (!StartSim(fixed, portDir, dir.path() + "/state", {})) {
        std::fprintf(stderr, "bench_scan: the simulated module did not come up\n");
        return 1;
    }
    const std::vector<double> turn = Turnarounds(turnarounds);
    if (turn.empty()) {
        std::fprintf(stderr, "bench_scan: no reply from the simulated module\n");
        return 1;
    }
    std::printf("turnaround over a pty (%zu probes, 57600 8E1): median %.2f ms, 99th percentile %.2f ms, "
                "longest %.2f ms; the allowance is %u ms\n",
                turn.size(), Percentile(turn, 0.5), Percentile(turn, 0.99), Percentile(turn, 1.0),
                kTurnaroundAllowanceMs);

    TQRTCommDriver driver;
    driver.SetComPort(pnCOM1);
    TScanEngine engine(driver);
    std::vector<double> findMs;
    for (int i = 0; i < finds; ++i) {
        double ms = -1;
        if (Search(engine, {}, &ms) == TScanEnd::FirstFound && ms >= 0)
            findMs.push_back(ms);
        RunFor(50);
    }
    StopSim(fixed);
    if (findMs.empty()) {
        std::fprintf(stderr, "bench_scan: the module on the fixed port's line was never found\n");
        return 1;
    }

    // The whole sweep, every module listed, against a module on its RS-485 port.
    QProcess rs485;
    if (!StartSim(rs485, portDir, dir.path() + "/state-rs485", {"--mode", "rs485"})) {
        std::fprintf(stderr, "bench_scan: the simulated module did not come up\n");
        return 1;
    }
    TScanRequest all;
    all.All = true;
    const TScanEnd end = Search(engine, all);
    StopSim(rs485);
    if (end != TScanEnd::Completed) {
        std::fprintf(stderr, "bench_scan: the sweep did not complete\n");
        return 1;
    }
    const double ratio = double(engine.ElapsedMs()) / double(engine.PlannedMs());
    std::printf("whole sweep: %d probes, %zu module(s) found, %.2f s against %.2f s of computed waits "
                "(%.2f s of them the probes'): %.3f (goal <= %.2f)\n",
                engine.ProbesSent(), engine.Found().size(), double(engine.ElapsedMs()) / 1000.0,
                double(engine.PlannedMs()) / 1000.0, double(PlannedProbeMs(all)) / 1000.0, ratio, kGoalSweepRatio);
    std::printf("finding the module on the fixed port's line (%zu runs): median %.1f ms, longest %.1f ms "
                "(goal <= %.0f ms)\n",
                findMs.size(), Percentile(findMs, 0.5), Percentile(findMs, 1.0), kGoalFindMs);
    return 0;
}
