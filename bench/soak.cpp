// make soak: the main window polls the simulated module for a long time (an hour
// by default) through a line with faults: replies dropped, replies with a bad
// CRC, noise before replies, and clean stretches between. Every few minutes and
// at the end it prints what the tool went through and what it costs: exchanges,
// failed exchanges and how many of them the cycle recovered from, resident
// memory, open descriptors and CPU share. The module runs as a process of its
// own, so the figures are the tool's alone. Fails when memory grows by 1 MiB or
// more after the warm-up, or descriptors grow at all.
// With --trend the trend window is open throughout (its ring of samples is taken
// whole when it opens, so its memory shows in the warm-up and must not grow after).
#include "app/StartOptions.h"
#include "serial/PortNames.h"
#include "tests/support/ChildProcess.h"
#include "ui/Main.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/resource.h>

namespace {

constexpr int kDefaultSeconds = 3600;
constexpr int kDefaultReportSeconds = 300;
constexpr int kComNumber = 2;
constexpr int kComIndex = kComNumber - 1;
constexpr long kMaxRssGrowthKb = 1024;
constexpr int kSimStartMs = 5000;

// One minute of the line, repeated: faults that spoil single replies, then noise
// before every reply (passed over: the reply that ends the buffer is taken), then
// a clean line.
struct FaultStep {
    int atSecond;
    const char *commands;
};
constexpr int kCycleSeconds = 60;
constexpr FaultStep kFaultCycle[] = {
    {0, "faults off\ndrop 7\ncorrupt 5\n"},
    {40, "noise 3\n"},
    {50, "faults off\n"},
};

long RssKb()
{
    std::FILE *f = std::fopen("/proc/self/status", "r");
    if (!f)
        return -1;
    char line[256];
    long kb = -1;
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, "VmRSS:", 6) == 0)
            kb = std::strtol(line + 6, nullptr, 10);
    std::fclose(f);
    return kb;
}

int OpenDescriptors()
{
    DIR *d = opendir("/proc/self/fd");
    if (!d)
        return -1;
    int n = 0;
    while (const dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            ++n;
    closedir(d);
    return n - 1;  // the one opendir itself holds
}

double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Counts {
    long requests = 0;
    long exchanges = 0;
    long failed = 0;     // requests that got no valid reply within the cycle's wait
    long recovered = 0;  // failed ones followed by a successful exchange
};

int ArgValue(int argc, char **argv, const char *name, int fallback)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0)
            return std::atoi(argv[i + 1]);
    return fallback;
}

}  // namespace

int main(int argc, char **argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    PreferQtEventLoop();  // as the program starts
    QApplication app(argc, argv);
    const int seconds = ArgValue(argc, argv, "--seconds", kDefaultSeconds);
    const int reportSeconds = std::max(1, ArgValue(argc, argv, "--report-every", kDefaultReportSeconds));
    const int warmupSeconds = std::min(60, std::max(1, seconds / 10));
    if (seconds <= 0) {
        std::fprintf(stderr, "soak: --seconds must be positive\n");
        return 2;
    }

    QTemporaryDir dir;
    QDir(dir.path()).mkpath("ports");
    QProcess sim;
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    EndWithParent(sim);
    sim.start(TALVEX_SIM_EXE, {"--port-dir", dir.filePath("ports"), "--com", QString::number(kComNumber), "--state-dir",
                               dir.filePath("state")});
    const QString link = dir.filePath("ports") + "/COM" + QString::number(kComNumber);
    QElapsedTimer waited;
    waited.start();
    while (!QFileInfo::exists(link) && waited.elapsed() < kSimStartMs)
        sim.waitForReadyRead(50);
    if (!QFileInfo::exists(link)) {
        std::fprintf(stderr, "soak: the simulated module did not start (%s)\n", TALVEX_SIM_EXE);
        return 1;
    }
    setenv(kPortDirEnv, dir.filePath("ports").toLocal8Bit().constData(), 1);
    // Its answers to our commands are of no interest; read them so the pipe never fills.
    QObject::connect(&sim, &QProcess::readyReadStandardOutput, [&sim] { sim.readAllStandardOutput(); });

    TMainForm form;
    // --trend: the trend window open for the whole soak, so its memory is watched too.
    if (app.arguments().contains("--trend"))
        form.TrendButton->click();
    form.ComboBox1->SetItemIndex(kComIndex);
    form.SpeedButton1->click();
    if (!form.SpeedButton1->isChecked()) {
        std::fprintf(stderr, "soak: the tool could not open the simulated module's port\n");
        return 1;
    }

    // Watch the polling cycle from behind: this slot runs after the window's own tick.
    Counts counts;
    long pendingFailures = 0;
    int lastExchangeCount = form.ExchangeCount;
    QObject::connect(&form.Timer1, &QTimer::timeout, [&] {
        if (!form.SendPending && form.PollWaitTicks == 0)
            ++counts.requests;
        if (form.ExchangeCount != lastExchangeCount) {
            lastExchangeCount = form.ExchangeCount;
            ++counts.exchanges;
            counts.recovered += pendingFailures;
            pendingFailures = 0;
        } else if (form.SendPending && form.PollWaitTicks > TMainForm::kMaxWaitTicks) {
            ++counts.failed;
            ++pendingFailures;
        }
    });

    QElapsedTimer clock;
    clock.start();
    const double cpuStart = CpuSeconds();
    long baseRss = -1;
    int baseFds = -1;
    double lastWall = 0;
    double lastCpu = cpuStart;

    std::printf("soak: %d s of polling the simulated module through a faulty line "
                "(drop every 7th reply, spoil every 5th CRC for 40 s, then noise for 10 s, clean for 10 s; "
                "each minute); a report every %d s\n",
                seconds, reportSeconds);
    std::printf("%8s %10s %10s %8s %10s %8s %5s %8s %8s\n", "seconds", "requests", "exchanges", "failed", "recovered",
                "rss_kb", "fds", "cpu_now", "cpu_all");
    std::fflush(stdout);
    const auto report = [&] {
        const double wall = clock.elapsed() / 1000.0;
        const double cpu = CpuSeconds();
        const double share = wall > lastWall ? (cpu - lastCpu) / (wall - lastWall) : 0;
        const double overall = wall > 0 ? (cpu - cpuStart) / wall : 0;
        std::printf("%8.0f %10ld %10ld %8ld %10ld %8ld %5d %7.1f%% %7.1f%%\n", wall, counts.requests, counts.exchanges,
                    counts.failed, counts.recovered, RssKb(), OpenDescriptors(), 100 * share, 100 * overall);
        std::fflush(stdout);
        lastWall = wall;
        lastCpu = cpu;
    };

    int cycleStep = 0;
    int cycleBase = 0;
    QTimer faults;
    faults.setInterval(1000);
    QObject::connect(&faults, &QTimer::timeout, [&] {
        const int now = static_cast<int>(clock.elapsed() / 1000);
        while (now - cycleBase >= kFaultCycle[cycleStep].atSecond) {
            sim.write(kFaultCycle[cycleStep].commands);
            if (++cycleStep == int(std::size(kFaultCycle))) {
                cycleStep = 0;
                cycleBase += kCycleSeconds;
            }
        }
    });
    faults.start();

    QTimer::singleShot(warmupSeconds * 1000, [&] {
        baseRss = RssKb();
        baseFds = OpenDescriptors();
    });
    QTimer reports;
    QObject::connect(&reports, &QTimer::timeout, report);
    reports.start(reportSeconds * 1000);
    QTimer::singleShot(seconds * 1000, &app, &QApplication::quit);
    app.exec();

    if (clock.elapsed() / 1000.0 - lastWall >= 1)
        report();
    const long rss = RssKb();
    const int fds = OpenDescriptors();
    form.SpeedButton1->click();
    sim.write("quit\n");
    sim.waitForFinished(3000);

    const bool rssOk = baseRss < 0 || rss - baseRss < kMaxRssGrowthKb;
    const bool fdsOk = baseFds < 0 || fds <= baseFds;
    std::printf("soak: %ld exchanges, %ld failed and %ld of them recovered; RSS %ld kB after %d s of warm-up, "
                "%ld kB at the end (%+ld kB); descriptors %d then %d; CPU %.1f%% of one core overall\n",
                counts.exchanges, counts.failed, counts.recovered, baseRss, warmupSeconds, rss, rss - baseRss, baseFds,
                fds, 100 * (CpuSeconds() - cpuStart) / (clock.elapsed() / 1000.0));
    std::printf("soak: %s\n", rssOk && fdsOk ? "PASS" : "FAIL (memory or descriptors grew)");
    return rssOk && fdsOk ? 0 : 1;
}
