// What polling costs the tool: the main window connected to a simulated module
// that runs as a process of its own (so its work is not counted), measured with
// getrusage over the tool's process alone. Two phases per run: the module
// answering at the full rate while its inputs move, and the module silent on an
// open port. Prints each run, then the medians against the goals. Then one run
// of polling on each of three other lines: an RS-485 adapter that echoes every
// request, and a USB adapter whose latency timer is 16 ms (the usual default)
// or 1 ms (what a port that asks for low latency gets).
//
//   bench_poll [--seconds N] [--silent-seconds N] [--runs N] [--line-seconds N]
#include "app/StartOptions.h"
#include "bench/BenchSupport.h"
#include "serial/PortNames.h"
#include "tests/support/ChildProcess.h"
#include "ui/Main.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

using bench::Arg;
using bench::Median;
using bench::RunFor;

constexpr int kDefaultPollSeconds = 30;
constexpr int kDefaultSilentSeconds = 15;
constexpr int kDefaultRuns = 3;
constexpr int kDefaultLineSeconds = 10;
constexpr int kSettleMs = 2000;  // after a phase change, before the clock starts
constexpr int kSimStartTimeoutMs = 5000;
constexpr int kFirstExchangeTimeoutMs = 20000;                           // generous, for a run under a profiler
constexpr double kFullRate = 1000.0 / (2 * TMainForm::kPollIntervalMs);  // one exchange per two ticks
constexpr double kGoalPollCpuPercent = 1.0;
constexpr double kGoalRateShare = 0.98;
constexpr double kGoalSilentCpuPercent = 0.5;

struct Usage {
    double cpuSeconds = 0;
    long wakeUps = 0;  // voluntary context switches: the process slept and was woken
};

Usage Now()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return {static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6,
            u.ru_nvcsw};
}

struct Phase {
    double cpuPercent = 0;  // of one core
    double exchangesPerSecond = 0;
    double wakeUpsPerSecond = 0;
};

// The tool's CPU share and exchange rate over `seconds` of the event loop. The
// link runs in PC-UART mode, where nothing but a disconnect resets ExchangeCount.
Phase Measure(TMainForm &form, int seconds)
{
    const int exchanges0 = form.ExchangeCount;
    QElapsedTimer wall;
    const Usage before = Now();
    wall.start();
    RunFor(seconds * 1000);
    const Usage after = Now();
    const double elapsed = static_cast<double>(wall.nsecsElapsed()) / 1e9;
    return {100.0 * (after.cpuSeconds - before.cpuSeconds) / elapsed, (form.ExchangeCount - exchanges0) / elapsed,
            static_cast<double>(after.wakeUps - before.wakeUps) / elapsed};
}

// The simulated module as COM2 in portDir, a process of its own. False if its port never appeared.
bool StartSim(QProcess &sim, const QString &portDir, const QString &stateDir, const QStringList &extra = {})
{
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.setStandardOutputFile(QProcess::nullDevice());
    EndWithParent(sim);
    sim.start(QStringLiteral(TALVEX_SIM_EXE),
              QStringList{"--port-dir", portDir, "--com", "2", "--state-dir", stateDir} + extra);
    QElapsedTimer waited;
    waited.start();
    while (!QFileInfo::exists(portDir + "/COM2") && waited.elapsed() < kSimStartTimeoutMs)
        RunFor(20);
    return QFileInfo::exists(portDir + "/COM2");
}

// Connects, waits for the first exchange and settles; false if the module never answered.
bool Connect(TMainForm &form)
{
    form.SpeedButton1->click();
    if (!form.SpeedButton1->isChecked())
        return false;
    QElapsedTimer connecting;
    connecting.start();
    while (form.ExchangeCount == 0 && connecting.elapsed() < kFirstExchangeTimeoutMs)
        RunFor(20);
    RunFor(kSettleMs);
    return form.ExchangeCount != 0;
}

}  // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const int pollSeconds = Arg(argc, argv, "--seconds", kDefaultPollSeconds);
    const int silentSeconds = Arg(argc, argv, "--silent-seconds", kDefaultSilentSeconds);
    const int runs = Arg(argc, argv, "--runs", kDefaultRuns);
    const int lineSeconds = Arg(argc, argv, "--line-seconds", kDefaultLineSeconds);
    PreferQtEventLoop();  // as the program starts
    QApplication app(argc, argv);

    QTemporaryDir dir;
    const QString portDir = dir.path() + "/ports";
    QProcess sim;
    if (!StartSim(sim, portDir, dir.path() + "/state")) {
        std::fprintf(stderr, "bench_poll: the simulated module did not come up\n");
        return 1;
    }
    qputenv(kPortDirEnv, portDir.toLocal8Bit());

    TMainForm form;
    form.show();
    std::printf("polling the simulated module (talvex-sim, its own process) on %s with %s, %d run(s) of %d s "
                "answering and %d s silent\n",
                qPrintable(QGuiApplication::platformName()),
                QAbstractEventDispatcher::instance()->metaObject()->className(), runs, pollSeconds, silentSeconds);
    std::vector<double> pollCpu, rate, silentCpu;
    for (int run = 1; run <= runs; ++run) {
        if (!Connect(form)) {
            std::fprintf(stderr, "bench_poll: no exchange with the module\n");
            return 1;
        }
        const Phase polling = Measure(form, pollSeconds);

        sim.write("silent on\n");
        RunFor(kSettleMs);
        const Phase silent = Measure(form, silentSeconds);
        sim.write("silent off\n");
        form.SpeedButton1->click();  // disconnect; the next run connects afresh

        std::printf("run %d: polling %.2f %% of a core at %.2f exchanges/s (%.3f of %.2f), %.0f wake-ups/s; "
                    "silent %.2f %% of a core, %.0f wake-ups/s\n",
                    run, polling.cpuPercent, polling.exchangesPerSecond, polling.exchangesPerSecond / kFullRate,
                    kFullRate, polling.wakeUpsPerSecond, silent.cpuPercent, silent.wakeUpsPerSecond);
        pollCpu.push_back(polling.cpuPercent);
        rate.push_back(polling.exchangesPerSecond);
        silentCpu.push_back(silent.cpuPercent);
    }

    const double medianRate = Median(rate);
    std::printf("median CPU while polling: %.2f %% of one core (goal <= %.1f %%)\n", Median(pollCpu),
                kGoalPollCpuPercent);
    std::printf("median exchange rate: %.2f /s = %.3f of %.2f /s (goal >= %.2f)\n", medianRate, medianRate / kFullRate,
                kFullRate, kGoalRateShare);
    std::printf("median CPU while the module is silent: %.2f %% of one core (goal <= %.1f %%)\n", Median(silentCpu),
                kGoalSilentCpuPercent);

    sim.terminate();
    sim.waitForFinished(2000);

    // The other lines, one run each, each with a module of its own.
    struct LineCase {
        const char *name;
        QStringList simArgs;
        bool goal;  // the echoing adapter must keep the full rate
    };
    const LineCase lines[] = {
        {"an RS-485 adapter that echoes every request", {"--echo"}, true},
        {"a USB adapter with a 16 ms latency timer", {"--latency-timer", "16"}, false},
        {"a USB adapter with a 1 ms latency timer", {"--latency-timer", "1"}, false},
    };
    for (const LineCase &line : lines) {
        QProcess lineSim;
        if (!StartSim(lineSim, portDir, dir.path() + "/state", line.simArgs)) {
            std::fprintf(stderr, "bench_poll: the simulated module did not come up\n");
            return 1;
        }
        if (!Connect(form)) {
            std::fprintf(stderr, "bench_poll: no exchange with the module through %s\n", line.name);
            return 1;
        }
        const Phase polling = Measure(form, lineSeconds);
        form.SpeedButton1->click();
        std::printf("through %s: %.2f exchanges/s = %.3f of %.2f /s, %.0f ms an exchange%s\n", line.name,
                    polling.exchangesPerSecond, polling.exchangesPerSecond / kFullRate, kFullRate,
                    1000.0 / polling.exchangesPerSecond,
                    line.goal ? qPrintable(QString(" (goal >= %1)").arg(kGoalRateShare, 0, 'f', 2)) : "");
        lineSim.terminate();
        lineSim.waitForFinished(2000);
        // The next module links the same name.
        QFile::remove(portDir + "/COM2");
    }
    return 0;
}
