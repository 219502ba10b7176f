// The production station's point: eight slots at once take hardly longer than
// one. One board per slot on simulated modules whose bootloaders answer at line
// speed with the chip's erase and write times, timed the same way for one slot
// and for eight: from the station's start to the last slot's record (detect,
// identify, flash with read-back, configure, read-back, record in SQLite), on
// the same monotonic clock. Prints the medians, the ratio eight / one (goal:
// 1.10 or less) and the boards per hour that gives, the operator's handling left out.
//
// The slots' configurations do not overlap: each is the blocking write sequence
// the command line and the window use, about 55 ms on the module's line, and the
// other slots wait on the thread meanwhile; that is most of what eight slots add.
//
//   bench_station [--runs N] [--slots N]   (BENCH_STAGES=1: each slot's stages
//                                           with their times on standard error)
#include "bench/BenchSupport.h"
#include "tests/support/StationRig.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>

namespace {

constexpr double kGoalRatio = 1.10;
constexpr int kRunTimeoutMs = 120000;

// Seconds from the start to the last record, or a negative number when a board did not pass.
double TimeLot(int slotCount, int run)
{
    std::vector<StationRig::Board> boards;
    for (int s = 1; s <= slotCount; ++s)
        boards.push_back({100 * run + s, true, true});
    StationRig rig(boards, TALVEX_STANDIN_IMAGE);
    QString error;
    if (!rig.open("sqlite:" + rig.dir.filePath("records.sqlite"), error)) {
        std::fprintf(stderr, "records: %s\n", qPrintable(error));
        return -1;
    }
    bench::RunFor(100);  // the simulators are up and idle
    QElapsedTimer clock;
    qint64 lastMs = -1;
    QObject::connect(rig.station.get(), &TStation::recorded, [&](const TRunRecord &, bool) {
        if (rig.records.size() == slotCount)
            lastMs = clock.elapsed();
    });
    if (qEnvironmentVariableIsSet("BENCH_STAGES"))
        QObject::connect(rig.station.get(), &TStation::slotEvent, [&](int slot, TSlotEvent e) {
            if (e == TSlotEvent::StageStarted)
                std::fprintf(stderr, "%6lld slot %d %s\n", clock.elapsed(), slot,
                             qPrintable(SlotStageName(rig.station->slotStatus(slot).stage)));
        });
    clock.start();
    rig.station->start();
    while (lastMs < 0 && clock.elapsed() < kRunTimeoutMs)
        bench::RunFor(5);
    rig.station->stop();
    for (const TRunRecord &r : rig.records)
        if (r.result != kResultPassed) {
            std::fprintf(stderr, "slot %s failed at %s: %s\n", qPrintable(r.slot), qPrintable(r.failedStage),
                         qPrintable(r.cause));
            return -1;
        }
    return lastMs < 0 ? -1 : lastMs / 1000.0;
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int runs = bench::Arg(argc, argv, "--runs", 3);
    const int many = bench::Arg(argc, argv, "--slots", 8);
    std::vector<double> one, all;
    for (int run = 1; run <= runs; ++run) {
        // Alternated, so that a slower spell of the machine falls on both.
        const double a = TimeLot(1, 2 * run);
        const double b = TimeLot(many, 2 * run + 1);
        if (a < 0 || b < 0)
            return 1;
        one.push_back(a);
        all.push_back(b);
        std::printf("run %d: 1 slot %.2f s, %d slots %.2f s\n", run, a, many, b);
        std::fflush(stdout);
    }
    const double m1 = bench::Median(one);
    const double mn = bench::Median(all);
    const double ratio = mn / m1;
    std::printf("station: 1 slot %.2f s, %d slots %.2f s (medians of %d runs): %.2fx the time of one board "
                "(goal <= %.2fx) %s\n",
                m1, many, mn, runs, ratio, kGoalRatio, ratio <= kGoalRatio ? "ok" : "MISSED");
    std::printf("station: %.0f boards per hour with %d slots, %.0f with one (handling of the boards not counted)\n",
                many * 3600.0 / mn, many, 3600.0 / m1);
    return 0;
}
