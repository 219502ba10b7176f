// What the trend chart and the line trace cost the poll: the main window
// connected to a simulated module of its own process, its inputs moving, and the
// tool's CPU time (getrusage) over phases of equal length: nothing open, the
// trend window open (drawing the default span), the trace window open
// (listening and showing every chunk). The phases alternate over several rounds
// so that a busy machine weighs on all of them alike; the medians are compared.
//
//   bench_views [--seconds N] [--rounds N]
#include "app/StartOptions.h"
#include "bench/BenchSupport.h"
#include "serial/PortNames.h"
#include "tests/support/ChildProcess.h"
#include "ui/Main.h"
#include "ui/Trace.h"
#include "ui/Trend.h"

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

constexpr int kDefaultSeconds = 10;
constexpr int kDefaultRounds = 3;
constexpr int kSettleMs = 1000;
constexpr int kSimStartTimeoutMs = 5000;
constexpr int kFirstExchangeTimeoutMs = 20000;
constexpr double kGoalRatio = 1.5;  // polling with a view open, against without

double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Phase {
    double cpuPercent = 0;
    double exchangesPerSecond = 0;
};

Phase Measure(TMainForm &form, int seconds)
{
    RunFor(kSettleMs);
    const int exchanges0 = form.ExchangeCount;
    QElapsedTimer wall;
    const double cpu0 = CpuSeconds();
    wall.start();
    RunFor(seconds * 1000);
    const double elapsed = double(wall.nsecsElapsed()) / 1e9;
    return {100.0 * (CpuSeconds() - cpu0) / elapsed, (form.ExchangeCount - exchanges0) / elapsed};
}

}  // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const int seconds = Arg(argc, argv, "--seconds", kDefaultSeconds);
    const int rounds = Arg(argc, argv, "--rounds", kDefaultRounds);
    PreferQtEventLoop();
    QApplication app(argc, argv);

    QTemporaryDir dir;
    const QString portDir = dir.path() + "/ports";
    QProcess sim;
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.setStandardOutputFile(QProcess::nullDevice());
    EndWithParent(sim);
    sim.start(QStringLiteral(TALVEX_SIM_EXE),
              {"--port-dir", portDir, "--com", "2", "--state-dir", dir.path() + "/state"});
    QElapsedTimer waited;
    waited.start();
    while (!QFileInfo::exists(portDir + "/COM2") && waited.elapsed() < kSimStartTimeoutMs)
        RunFor(20);
    qputenv(kPortDirEnv, portDir.toLocal8Bit());

    TMainForm form;
    form.show();
    form.SpeedButton1->click();
    waited.restart();
    while (form.ExchangeCount == 0 && waited.elapsed() < kFirstExchangeTimeoutMs)
        RunFor(20);
    if (form.ExchangeCount == 0) {
        std::fprintf(stderr, "bench_views: no exchange with the simulated module\n");
        return 1;
    }
    std::printf("polling the simulated module on %s, %d round(s) of %d s per phase\n",
                qPrintable(QGuiApplication::platformName()), rounds, seconds);
    std::vector<double> closed, trend, trace;
    for (int round = 1; round <= rounds; ++round) {
        const Phase none = Measure(form, seconds);
        form.TrendButton->click();
        const Phase chart = Measure(form, seconds);
        form.TrendFrm->hide();
        form.TraceButton->click();
        const Phase tracing = Measure(form, seconds);
        form.TraceFrm->hide();
        std::printf("round %d: closed %.2f %% (%.1f exchanges/s), chart open %.2f %% (%.1f/s, %zu samples), "
                    "trace on %.2f %% (%.1f/s, %d lines)\n",
                    round, none.cpuPercent, none.exchangesPerSecond, chart.cpuPercent, chart.exchangesPerSecond,
                    form.TrendFrm->Ring().Size(), tracing.cpuPercent, tracing.exchangesPerSecond,
                    form.TraceFrm->Model().rowCount());
        closed.push_back(none.cpuPercent);
        trend.push_back(chart.cpuPercent);
        trace.push_back(tracing.cpuPercent);
    }
    const double base = Median(closed);
    std::printf("median CPU while polling: %.2f %% of one core with nothing open\n", base);
    std::printf("  with the trend chart open: %.2f %% = %.2f x (goal <= %.1f x)\n", Median(trend), Median(trend) / base,
                kGoalRatio);
    std::printf("  with the trace window open: %.2f %% = %.2f x\n", Median(trace), Median(trace) / base);
    sim.terminate();
    sim.waitForFinished(2000);
    return 0;
}
