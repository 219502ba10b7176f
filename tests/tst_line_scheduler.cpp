// When the simulated module's passes run and its replies leave, on a hand-made clock.
#include "sim/LineScheduler.h"

#include <QtTest>

using namespace talvex::sim;

using Times = std::vector<uint64_t>;
Q_DECLARE_METATYPE(Times)

namespace {

constexpr uint64_t kPassMs = 10;

// The times of the passes run at each of `calls`, after a start at 0.
std::vector<Times> PassesAt(const Times &calls)
{
    LineScheduler schedule(kPassMs);
    schedule.restart(0);
    std::vector<Times> runs;
    for (uint64_t now : calls) {
        Times run;
        schedule.runPasses(now, [&](uint64_t t) { run.push_back(t); });
        runs.push_back(run);
    }
    return runs;
}

Times Range(uint64_t first, uint64_t count)
{
    Times t;
    for (uint64_t i = 0; i < count; ++i)
        t.push_back(first + i * kPassMs);
    return t;
}

}  // namespace

class TestLineScheduler : public QObject {
    Q_OBJECT

private slots:
    void passes_data()
    {
        QTest::addColumn<Times>("calls");
        QTest::addColumn<std::vector<Times>>("runs");
        QTest::newRow("the first pass at the start") << Times{0, 9} << std::vector<Times>{{0}, {}};
        QTest::newRow("each at the time it was due") << Times{0, 25, 30} << std::vector<Times>{{0}, {10, 20}, {30}};
        // A long stall runs at most 100 passes, then the schedule starts again from now.
        QTest::newRow("a stall skips ahead")
            << Times{5000, 5009, 5010} << std::vector<Times>{Range(0, LineScheduler::kMaxCatchUpPasses), {}, {5010}};
        QTest::newRow("a stall just short of the bound catches up")
            << Times{990, 1000} << std::vector<Times>{Range(0, 100), {1000}};
    }

    void passes()
    {
        QFETCH(Times, calls);
        QFETCH(std::vector<Times>, runs);
        QCOMPARE(PassesAt(calls), runs);
    }

    void repliesLeaveInOrder()
    {
        LineScheduler schedule(kPassMs);
        schedule.restart(0);
        schedule.runPasses(0, [](uint64_t) {});  // the next pass at 10 ms
        std::vector<int> sent;
        const auto reply = [&](uint64_t dueUs, uint8_t tag) {
            return LineScheduler::Reply{dueUs, {tag}, [&sent, tag] { sent.push_back(tag); }};
        };
        QVERIFY(!schedule.hasReply());
        QVERIFY(!schedule.replyDue(1000000));
        schedule.queue(reply(3000, 1));
        schedule.queue(reply(2000, 2));  // queued later: waits for the first
        QVERIFY(schedule.hasReply());
        QCOMPARE(schedule.nextDueUs(), uint64_t(3000));
        QVERIFY(!schedule.replyDue(2999));
        QVERIFY(schedule.replyDue(3000));
        LineScheduler::Reply first = schedule.takeReply();
        QCOMPARE(first.dueUs, uint64_t(3000));
        first.sent();
        QCOMPARE(sent, std::vector<int>{1});
        QVERIFY(schedule.replyDue(3000));
        QCOMPARE(schedule.takeReply().bytes, std::vector<uint8_t>{2});
        QVERIFY(!schedule.hasReply());
    }

    void nextDueIsThePassOrTheReply_data()
    {
        QTest::addColumn<qulonglong>("replyDueUs");
        QTest::addColumn<qulonglong>("nextUs");
        QTest::newRow("no reply: the next pass") << qulonglong(0) << qulonglong(10000);
        QTest::newRow("a reply before the pass") << qulonglong(4500) << qulonglong(4500);
        QTest::newRow("a reply after the pass") << qulonglong(12000) << qulonglong(10000);
    }

    void nextDueIsThePassOrTheReply()
    {
        QFETCH(qulonglong, replyDueUs);
        QFETCH(qulonglong, nextUs);
        LineScheduler schedule(kPassMs);
        schedule.restart(0);
        schedule.runPasses(0, [](uint64_t) {});
        if (replyDueUs != 0)
            schedule.queue({replyDueUs, {1}, {}});
        QCOMPARE(schedule.nextDueUs(), uint64_t(nextUs));
    }

    // A module start forgets what was owed and runs its first pass at once.
    void restartClearsTheReplies()
    {
        LineScheduler schedule(kPassMs);
        schedule.restart(0);
        schedule.runPasses(50, [](uint64_t) {});
        schedule.queue({70000, {1}, {}});
        schedule.restart(55);
        QVERIFY(!schedule.hasReply());
        QCOMPARE(schedule.nextDueUs(), uint64_t(55000));
        Times run;
        schedule.runPasses(55, [&](uint64_t t) { run.push_back(t); });
        QCOMPARE(run, Times{55});
    }
};

QTEST_MAIN(TestLineScheduler)
#include "tst_line_scheduler.moc"
