// The update engine's steps beyond the window's update, as the command line asks
// for them: the ways into the bootloader, the unique ID, the read-back, the check
// of the image against the chip's flash, and the stage and cause of a failed run
// reported as values.
#include "firmware/FirmwareImage.h"
#include "firmware/stm32/Stm32Protocol.h"
#include "serial/PortNames.h"
#include "tests/support/Bytes.h"
#include "tests/support/FlashHolds.h"
#include "tests/support/UpdateEngineHarness.h"

#include <QtTest>

Q_DECLARE_METATYPE(TBootEntry)
Q_DECLARE_METATYPE(TUpdateStage)
Q_DECLARE_METATYPE(TUpdateCause)
Q_DECLARE_METATYPE(std::vector<std::string>)
Q_DECLARE_METATYPE(std::vector<uint32_t>)
Q_DECLARE_METATYPE(Stm32Faults)

namespace {

QByteArray Image(int size)
{
    QByteArray image(size, 0);
    for (int i = 0; i < size; ++i)
        image[i] = char(i * 13 + 1);
    return image;
}

// The engine on the simulated chip, ticks and the clock handed in by the test.
struct EngineOnChip {
    Stm32Bootloader chip;
    std::vector<std::string> calls;
    TQRTCommDriver driver{nullptr, std::make_unique<ChipPort>(chip, calls)};
    TUpdateEngine engine{driver};
    Reports r;
    QList<QPair<TUpdateStage, int>> stages;
    QList<TUpdateFailure> failures;

    explicit EngineOnChip(const QByteArray &image, const TUpdateOptions &options)
    {
        r.watch(engine);
        QObject::connect(&engine, &TUpdateEngine::stageChanged, [this](TUpdateStage s, int percent) {
            stages.append({s, percent});
        });
        QObject::connect(&engine, &TUpdateEngine::runFailed, [this](const TUpdateFailure &f) { failures.append(f); });
        engine.SetImageLoader([image] { return LoadFirmwareImageBytes(image); });
        engine.SetOptions(options);
    }
    // Until the start ends or `limitMs` of the engine's clock have passed.
    void run(uint32_t limitMs = 60000)
    {
        engine.Start();
        while (r.outcomes.isEmpty() && r.now < limitMs) {
            driver.PollReceive();
            engine.Timer5Timer();
            ++r.now;
            engine.Core().TimeOut(r.now);
        }
    }
    bool sentCommand(uint8_t code) const
    {
        return std::any_of(chip.log().begin(), chip.log().end(),
                           [code](const Stm32LogEntry &e) { return e.command == code; });
    }
};

// A start whose operator puts the chip into its bootloader by hand.
void StartWithManualEntry(EngineOnFakePort &e)
{
    TUpdateOptions options;
    options.bootEntry = TBootEntry::Manual;
    e.engine.SetOptions(options);
    e.engine.Start();
}

}  // namespace

class TestUpdateOptions : public QObject {
    Q_OBJECT

private slots:
    void init() { qunsetenv(kPortDirEnv); }

    void bootEntries_data()
    {
        QTest::addColumn<TBootEntry>("entry");
        QTest::addColumn<std::vector<std::string>>("start");
        QTest::addColumn<std::vector<std::string>>("end");
        QTest::addColumn<std::vector<uint32_t>>("sleeps");
        // The open itself lets go of the lines the kernel raised, the boot pin first
        // (on an inverting adapter: sets both bits, again with the settings); such a
        // port closes with both of its bits set, its lines inactive.
        QTest::newRow("dtr-rts") << TBootEntry::DtrRts << std::vector<std::string>{"open:/dev/ttyS0", "rts:0", "dtr:0",
                                                                                   "dtr:1",           "rts:1", "dtr:0"}
                                 << std::vector<std::string>{"dtr:1", "rts:0", "dtr:0", "close"}
                                 << std::vector<uint32_t>{500, 500, 300};
        QTest::newRow("inverted") << TBootEntry::Inverted
                                  << std::vector<std::string>{"open:/dev/ttyS0", "rts:1", "dtr:1", "rts:1",
                                                              "dtr:1",           "dtr:0", "rts:0", "dtr:1"}
                                  << std::vector<std::string>{"dtr:0", "rts:1", "dtr:1", "rts:1", "dtr:1", "close"}
                                  << std::vector<uint32_t>{500, 500, 300};
        QTest::newRow("manual: no line touched by the update")
            << TBootEntry::Manual << std::vector<std::string>{"open:/dev/ttyS0", "rts:0", "dtr:0"}
            << std::vector<std::string>{"open:/dev/ttyS0", "rts:0", "dtr:0", "close"} << std::vector<uint32_t>{};
    }
    void bootEntries()
    {
        QFETCH(TBootEntry, entry);
        QFETCH(std::vector<std::string>, start);
        QFETCH(std::vector<std::string>, end);
        QFETCH(std::vector<uint32_t>, sleeps);
        TUpdateOptions options;
        options.bootEntry = entry;
        options.readUniqueId = true;
        options.verify = true;
        const QByteArray image = Image(600);
        EngineOnChip e(image, options);
        e.run();
        QCOMPARE(e.r.outcomes, QList<TUpdateOutcome>{TUpdateOutcome::Done});
        QVERIFY(std::equal(start.begin(), start.end(), e.calls.begin()));
        QVERIFY(e.calls.size() >= end.size());
        QVERIFY(std::equal(end.begin(), end.end(), e.calls.end() - std::ptrdiff_t(end.size())));
        QCOMPARE(e.r.sleeps, sleeps);
        QVERIFY(e.engine.Core().Verified());
        QCOMPARE(e.engine.Core().UniqueId(), std::string("54414C564558000120240615"));
        QCOMPARE(e.engine.Core().ProductId(), uint16_t(0x0410));
        QCOMPARE(e.engine.Core().BootloaderVersion(), uint8_t(0x22));
        QCOMPARE(e.engine.Core().FlashSizeKiB(), uint16_t(128));
        QVERIFY(FlashHolds(e.chip.flash(), image));
    }

    void stagesComeAsValues()
    {
        TUpdateOptions options;
        options.readUniqueId = true;
        options.verify = true;
        EngineOnChip e(Image(600), options);
        e.run();
        using S = TUpdateStage;
        // 600 bytes: three blocks written, three read back.
        const QList<QPair<S, int>> expected = {
            {S::Connecting, 0}, {S::Identifying, 0}, {S::FlashSize, 0},   {S::UniqueId, 0},  {S::Erasing, 0},
            {S::Writing, 0},    {S::Writing, 42},    {S::Writing, 85},    {S::Writing, 100}, {S::Verifying, 0},
            {S::Verifying, 42}, {S::Verifying, 85},  {S::Verifying, 100}, {S::Finishing, 0},
        };
        QCOMPARE(e.stages, expected);
        // The window's texts are the same as without the options.
        QCOMPARE(e.r.statuses.first(), QString("正在查找设备。。。"));
        QCOMPARE(e.r.statuses.last(), QString("上载完成！"));
        QVERIFY(e.failures.isEmpty());
        QCOMPARE(e.engine.Core().LastFailure().cause, TUpdateCause::None);
    }

    void windowsUpdateReadsNoMore()
    {
        EngineOnChip e(Image(600), TUpdateOptions{});
        e.run();
        QCOMPARE(e.r.outcomes, QList<TUpdateOutcome>{TUpdateOutcome::Done});
        // One Read Memory (the flash size), no unique ID, no read-back.
        const auto reads = std::count_if(e.chip.log().begin(), e.chip.log().end(),
                                         [](const Stm32LogEntry &l) { return l.command == stm32::kCmdReadMemory; });
        QCOMPARE(reads, 1);
        QVERIFY(!e.engine.Core().Verified());
        QVERIFY(e.engine.Core().UniqueId().empty());
    }

    void failedRunsSayWhereAndWhy_data()
    {
        QTest::addColumn<Stm32Faults>("faults");
        QTest::addColumn<TUpdateStage>("stage");
        QTest::addColumn<TUpdateCause>("cause");
        QTest::addColumn<uint32_t>("address");
        const auto nack = [](uint8_t command, int phase) {
            Stm32Faults f;
            f.nackAt = {command, phase};
            f.nackTimes = 1000;
            return f;
        };
        Stm32Faults silentSync;
        silentSync.unansweredSyncs = Stm32Faults::kForever;
        QTest::newRow("no answer to the sync byte")
            << silentSync << TUpdateStage::Connecting << TUpdateCause::NoAnswer << 0u;
        QTest::newRow("Get refused (read-protected)")
            << nack(stm32::kCmdGet, 0) << TUpdateStage::Identifying << TUpdateCause::Refused << 0u;
        QTest::newRow("Read Memory refused")
            << nack(stm32::kCmdReadMemory, 0) << TUpdateStage::FlashSize << TUpdateCause::Refused << 0u;
        QTest::newRow("page list refused")
            << nack(stm32::kCmdErase, 1) << TUpdateStage::Erasing << TUpdateCause::Refused << 0u;
        QTest::newRow("write data refused")
            << nack(stm32::kCmdWriteMemory, 2) << TUpdateStage::Writing << TUpdateCause::Refused << 0x08000000u;
        Stm32Faults silentAfterTwo;
        silentAfterTwo.silentAfterBlocks = 2;
        QTest::newRow("silent after two blocks")
            << silentAfterTwo << TUpdateStage::Writing << TUpdateCause::NoAnswer << 0x08000200u;
    }
    void failedRunsSayWhereAndWhy()
    {
        QFETCH(Stm32Faults, faults);
        QFETCH(TUpdateStage, stage);
        QFETCH(TUpdateCause, cause);
        QFETCH(uint32_t, address);
        EngineOnChip e(Image(1000), TUpdateOptions{});
        e.chip.setFaults(faults);
        e.run();
        QVERIFY(!e.failures.isEmpty());
        const TUpdateFailure first = e.failures.first();
        QCOMPARE(first.stage, stage);
        QCOMPARE(first.cause, cause);
        QCOMPARE(first.address, address);
    }

    void imageTooLargeForTheChipEndsBeforeTheErase()
    {
        TUpdateOptions options;
        options.imageBytes = 128 * 1024;  // its erase asks for 129 pages
        EngineOnChip e(Image(1000), options);
        e.run();
        QCOMPARE(e.r.outcomes, QList<TUpdateOutcome>{TUpdateOutcome::Refused});
        QCOMPARE(e.engine.Core().LastFailure().cause, TUpdateCause::ImageTooLarge);
        QCOMPARE(e.engine.Core().LastFailure().stage, TUpdateStage::FlashSize);
        QCOMPARE(e.engine.Core().RetryCount(), uint8_t(0));
        QVERIFY(!e.sentCommand(stm32::kCmdErase));
        QVERIFY(!e.driver.IsOpen());

        // One page less fits.
        options.imageBytes = 127 * 1024 + 1023;
        EngineOnChip fits(Image(1000), options);
        fits.run();
        QCOMPARE(fits.r.outcomes, QList<TUpdateOutcome>{TUpdateOutcome::Done});
    }

    void readBackNamesTheFirstDifference()
    {
        TUpdateOptions options;
        options.verify = true;
        EngineOnChip e(Image(1000), options);
        Stm32Faults faults;
        faults.flipAddress = 0x08000301;
        faults.flipMask = 0x01;
        e.chip.setFaults(faults);
        e.run();
        QCOMPARE(e.r.outcomes, QList<TUpdateOutcome>{TUpdateOutcome::Refused});
        const TUpdateFailure f = e.engine.Core().LastFailure();
        QCOMPARE(f.stage, TUpdateStage::Verifying);
        QCOMPARE(f.cause, TUpdateCause::VerifyMismatch);
        QCOMPARE(f.address, 0x08000301u);
        QCOMPARE(f.expected, uint8_t(0x301 * 13 + 1));
        QCOMPARE(f.found, uint8_t((0x301 * 13 + 1) ^ 0x01));
        QVERIFY(!e.engine.Core().Verified());
        // The module is restarted all the same, as a power cycle would start it: left
        // in its bootloader it would be dead until one. The record names the mismatch.
        const std::vector<std::string> end = {"dtr:1", "rts:0", "dtr:0", "close"};
        QVERIFY(std::equal(end.begin(), end.end(), e.calls.end() - std::ptrdiff_t(end.size())));
        QCOMPARE(e.r.sleeps, (std::vector<uint32_t>{500, 500, 300}));
    }

    void manualEntryRepeatsTheSyncAndTakesANack()
    {
        EngineOnFakePort e;
        StartWithManualEntry(e);
        QCOMPARE(e.st.written, (Bytes{0x7F}));
        // A NACK to the first sync byte is no answer from a listening chip.
        e.arrive({0x1F});
        QCOMPARE(e.engine.Core().IspState(), 1);
        e.r.now += 1000;
        e.engine.Core().TimeOut(e.r.now);
        QCOMPARE(e.st.written, (Bytes{0x7F, 0x7F}));
        // A chip already synchronised takes the repeated sync as half a command and refuses it.
        e.arrive({0x1F});
        QCOMPARE(e.engine.Core().IspState(), 2);
        QCOMPARE(Bytes(e.st.written.end() - 2, e.st.written.end()), (Bytes{0x00, 0xFF}));
    }

    void manualEntryGivesUpAfterHalfAMinute()
    {
        EngineOnFakePort e;
        StartWithManualEntry(e);
        while (e.r.outcomes.isEmpty() && e.r.now < 120000) {
            ++e.r.now;
            e.engine.Core().TimeOut(e.r.now);
        }
        QCOMPARE(e.r.outcomes, QList<TUpdateOutcome>{TUpdateOutcome::LinkFailed});
        QCOMPARE(e.r.now, uint32_t(TUpdateCore::kManualSyncSeconds * 1000));
        QCOMPARE(e.st.written, Bytes(TUpdateCore::kManualSyncSeconds, 0x7F));
        // One run: asking again would only make the operator wait longer.
        QCOMPARE(std::count(e.st.calls.begin(), e.st.calls.end(), std::string("close")), 1);
        QCOMPARE(e.engine.Core().LastFailure().stage, TUpdateStage::Connecting);
    }
};

QTEST_GUILESS_MAIN(TestUpdateOptions)
#include "tst_update_options.moc"
