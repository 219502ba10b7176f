// Several update engines in one process, as a production station runs them: each
// owns its buffer and its image, and with waits by timer none holds the thread
// while its module's lines settle, so they enter their bootloaders together.
#include "firmware/FirmwareImage.h"
#include "firmware/Isp.h"
#include "firmware/UpdateEngine.h"
#include "tests/support/Bytes.h"
#include "tests/support/EngineOnChip.h"
#include "tests/support/FlashHolds.h"
#include "tests/support/SimFixture.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QtTest>

#include <memory>

using talvex::sim::SimMode;

namespace {

// An image whose bytes follow from `seed`, so that no two slots write the same.
QByteArray SeededImage(int size, int seed)
{
    QByteArray image(size, 0);
    for (int i = 0; i < size; ++i)
        image[i] = char(i * seed + seed / 2 + 1);
    return image;
}

TUpdateOptions TimerWaits()
{
    TUpdateOptions options;
    options.waitByTimer = true;
    options.readUniqueId = true;
    options.verify = true;
    return options;
}

// One slot of a station: a simulated module on its own pty, and an engine on it.
struct Slot {
    SimFixture sim;
    QByteArray image;
    TQRTCommDriver driver;
    TUpdateEngine engine{driver};
    QList<TUpdateOutcome> outcomes;
    qint64 syncSentMs = -1;  // when the sync byte went out, after the line sequence

    Slot(int com, const QByteArray &bytes, const QElapsedTimer &clock) : sim(SimMode::FixedPort, com, 149), image(bytes)
    {
        engine.SetDevicePath(sim->ttyPath());
        engine.SetImageLoader([bytes] { return LoadFirmwareImageBytes(bytes); });
        engine.SetOptions(TimerWaits());
        QObject::connect(&engine, &TUpdateEngine::finished, [this](TUpdateOutcome o) { outcomes << o; });
        QObject::connect(&engine, &TUpdateEngine::noticed, [this, &clock](TUpdateNotice notice, int) {
            if (notice == TUpdateNotice::Searching && syncSentMs < 0)
                syncSentMs = clock.elapsed();
        });
    }
};

}  // namespace

class TestEnginesTogether : public QObject {
    Q_OBJECT

private slots:
    // The window's line sequence, each wait on WaitT instead of a sleep: the
    // engine returns at once and goes on when the wait's tick comes.
    void timerWaitsKeepTheLineSequence()
    {
        const QByteArray image = Image(3000);
        EngineOnChip e(image, TimerWaits());
        e.engine.Start();
        QCOMPARE(e.calls.back(), std::string("rts:1"));  // reset and boot pin held
        QVERIFY(e.engine.Core().Waiting());
        QVERIFY(e.engine.WaitT.isActive());
        QCOMPARE(e.engine.WaitT.interval(), int(Isp::kResetPulseMs));
        QVERIFY(!e.engine.Timer5.isActive() && !e.engine.OvertimeT.isActive());
        QVERIFY(e.chip.log().empty());  // no sync byte yet

        e.engine.WaitTTimer();
        QCOMPARE(e.calls.back(), std::string("dtr:0"));  // reset released, the bootloader starts
        QCOMPARE(e.engine.WaitT.interval(), int(Isp::kBootSettleMs));
        QVERIFY(e.chip.log().empty());

        e.engine.WaitTTimer();
        QVERIFY(!e.engine.Core().Waiting());
        QCOMPARE(e.chip.log().size(), size_t(1));  // the sync byte
        QVERIFY(e.engine.Timer5.isActive() && e.engine.OvertimeT.isActive());

        // On to the last block; the finish then holds reset on WaitT, and only
        // after it the module restarts, the port closes and the start has ended.
        for (int i = 0; i < 1000 && !e.engine.Core().Waiting(); ++i) {
            e.driver.PollReceive();
            e.engine.Timer5Timer();
        }
        QVERIFY(e.engine.Core().Waiting());
        QCOMPARE(e.calls.back(), std::string("dtr:1"));
        QCOMPARE(e.engine.WaitT.interval(), int(Isp::kFinishHoldMs));
        QVERIFY(e.r.outcomes.isEmpty());
        QVERIFY(e.driver.IsOpen());
        e.engine.WaitTTimer();
        QCOMPARE(std::vector<std::string>(e.calls.end() - 3, e.calls.end()),
                 (std::vector<std::string>{"rts:0", "dtr:0", "close"}));
        QCOMPARE(e.r.outcomes, QList<TUpdateOutcome>{TUpdateOutcome::Done});
        QVERIFY(e.engine.Core().Verified());
        QVERIFY(!e.engine.Core().Running());
        QVERIFY(FlashHolds(e.chip.flash(), image));
        QVERIFY(e.r.sleeps.empty());  // nothing blocked
    }

    // Stopped inside the line sequence: the wait is dropped, and the chip is
    // restarted into its program (on WaitT again) before the port closes.
    void stopInsideAWaitRestartsTheChip()
    {
        EngineOnChip e(Image(3000), TimerWaits());
        e.engine.Start();
        QVERIFY(e.engine.Core().Waiting());
        e.engine.Stop();
        QCOMPARE(e.calls.back(), std::string("dtr:1"));
        QCOMPARE(e.engine.WaitT.interval(), int(Isp::kFinishHoldMs));
        QVERIFY(e.engine.Core().Running());
        e.engine.WaitTTimer();
        QCOMPARE(std::vector<std::string>(e.calls.end() - 3, e.calls.end()),
                 (std::vector<std::string>{"rts:0", "dtr:0", "close"}));
        QVERIFY(!e.engine.Core().Running());
        QVERIFY(e.r.outcomes.isEmpty());  // a stop is no end of the start
        QVERIFY(e.chip.log().empty());
        QVERIFY(e.r.sleeps.empty());
    }

    // Two engines on two simulated modules at once, each with its own image:
    // both enter their bootloaders together, the thread keeps turning meanwhile,
    // and each module ends up holding its own image.
    void twoEnginesFlashTwoModulesAtOnce()
    {
        QElapsedTimer clock;
        clock.start();
        Slot a(2, SeededImage(20 * 1024 + 17, 13), clock);
        Slot b(3, SeededImage(9 * 1024 + 301, 29), clock);
        QVERIFY(a.image != b.image.left(a.image.size()));

        // The thread's turns: a tick every few milliseconds, and the longest gap between two.
        qint64 lastTurn = clock.elapsed();
        qint64 longestGap = 0;
        QTimer turns;
        turns.setInterval(5);
        QObject::connect(&turns, &QTimer::timeout, [&] {
            longestGap = std::max(longestGap, clock.elapsed() - lastTurn);
            lastTurn = clock.elapsed();
        });
        turns.start();

        const qint64 started = clock.elapsed();
        a.engine.Start();
        b.engine.Start();
        QVERIFY2(clock.elapsed() - started < Isp::kResetPulseMs,
                 qPrintable(QString("the starts took %1 ms").arg(clock.elapsed() - started)));
        lastTurn = clock.elapsed();

        QTRY_VERIFY_WITH_TIMEOUT(!a.outcomes.isEmpty() && !b.outcomes.isEmpty(), 30000);
        turns.stop();
        QCOMPARE(a.outcomes, QList<TUpdateOutcome>{TUpdateOutcome::Done});
        QCOMPARE(b.outcomes, QList<TUpdateOutcome>{TUpdateOutcome::Done});
        // Both line sequences ran side by side: one after the other would put a
        // whole entry (reset pulse and settling) between the two sync bytes.
        QVERIFY(a.syncSentMs >= started + Isp::kResetPulseMs + Isp::kBootSettleMs);
        QVERIFY2(std::abs(a.syncSentMs - b.syncSentMs) < Isp::kResetPulseMs,
                 qPrintable(QString("sync bytes at %1 and %2 ms").arg(a.syncSentMs).arg(b.syncSentMs)));
        QVERIFY2(longestGap < Isp::kResetPulseMs, qPrintable(QString("the thread stood %1 ms").arg(longestGap)));

        for (Slot *slot : {&a, &b}) {
            const TUpdateCore &core = slot->engine.Core();
            QVERIFY(core.Verified());
            QCOMPARE(core.UniqueId().size(), size_t(2 * TUpdateCore::kUniqueIdBytes));
            QVERIFY(core.BootloaderVersion() != 0);
            QCOMPARE(core.Memory().ImageStream().value_or(QByteArray()), slot->image);
            QVERIFY(!slot->driver.IsOpen());
        }
        a.sim->withBootloader([&](auto &boot) {
            QVERIFY(FlashHolds(boot.chip().flash(), a.image));
            QVERIFY(!FlashHolds(boot.chip().flash(), b.image));
        });
        b.sim->withBootloader([&](auto &boot) {
            QVERIFY(FlashHolds(boot.chip().flash(), b.image));
            QVERIFY(!FlashHolds(boot.chip().flash(), a.image));
        });
    }
};

QTEST_MAIN(TestEnginesTogether)
#include "tst_engines_together.moc"
