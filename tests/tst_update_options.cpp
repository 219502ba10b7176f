// The update engine's steps beyond the window's update, as the command line asks
// for them: the ways into the bootloader, the unique ID, the read-back, the check
// of the image against the chip's flash, and the stage and cause of a failed run
// reported as values.
#include "firmware/FirmwareImage.h"
#include "firmware/stm32/Stm32Protocol.h"
#include "serial/PortNames.h"
#include "sim/bootloader/Stm32MemoryMap.h"
#include "tests/support/Bytes.h"
#include "tests/support/EngineOnChip.h"
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

    // A chip that answers another family's product ID is refused before
    // anything is erased; the module's own family (0x0410) is taken.
    void anotherFamilysChipEndsBeforeTheErase()
    {
        TUpdateOptions options;
        options.productId = 0x0412;
        EngineOnChip e(Image(1000), options);
        e.run();
        QCOMPARE(e.r.outcomes, QList<TUpdateOutcome>{TUpdateOutcome::Refused});
        const TUpdateFailure f = e.engine.Core().LastFailure();
        QCOMPARE(f.cause, TUpdateCause::WrongChip);
        QCOMPARE(f.stage, TUpdateStage::Identifying);
        QCOMPARE(f.address, 0x0410u);
        QVERIFY(!e.sentCommand(stm32::kCmdReadMemory));
        QVERIFY(!e.sentCommand(stm32::kCmdErase));

        options.productId = 0x0410;
        EngineOnChip own(Image(1000), options);
        own.run();
        QCOMPARE(own.r.outcomes, QList<TUpdateOutcome>{TUpdateOutcome::Done});
    }

    // An image placed at 0x08004000 whose file holds bytes in pages 16 and 18
    // only: those two pages are erased, written and read back; page 17 between
    // them and everything below and above keep what they held.
    void placedImageTouchesOnlyItsPages()
    {
        constexpr uint32_t kStart = 0x08004000;
        constexpr int kPage = int(stm32::kPageBytes);
        TUpdateOptions options;
        options.startAddress = kStart;
        options.erasePages = {16, 18};
        options.verify = true;
        options.imageBytes = 3 * kPage - 100;
        const QByteArray image = Image(3 * kPage - 100);
        EngineOnChip e(image, options);
        const std::vector<uint8_t> old(stm32::kFlashBytes, 0x5A);
        e.chip.preloadFlash(stm32::kFlashBase, old);
        e.run();
        QCOMPARE(e.r.outcomes, QList<TUpdateOutcome>{TUpdateOutcome::Done});
        QVERIFY(e.engine.Core().Verified());
        // The page list names pages 16 and 18: count byte 1, then the pages, then their XOR.
        const auto erase = std::find_if(e.chip.log().begin(), e.chip.log().end(),
                                        [](const Stm32LogEntry &x) { return x.command == stm32::kCmdErase; });
        QVERIFY(erase != e.chip.log().end());
        QCOMPARE(erase->payload, (std::vector<uint8_t>{0x01, 16, 18, 0x01 ^ 16 ^ 18}));
        const auto flash = e.chip.flash();
        const auto at = [&](uint32_t address) { return flash[address - stm32::kFlashBase]; };
        const auto image8 = [&](int i) { return uint8_t(image[i]); };
        for (uint32_t a = stm32::kFlashBase; a < kStart; a += 97)
            QCOMPARE(at(a), uint8_t(0x5A));
        for (int i = 0; i < kPage; ++i)
            QCOMPARE(at(kStart + uint32_t(i)), image8(i));
        for (int i = kPage; i < 2 * kPage; ++i)
            QCOMPARE(at(kStart + uint32_t(i)), uint8_t(0x5A));
        for (int i = 2 * kPage; i < image.size(); ++i)
            QCOMPARE(at(kStart + uint32_t(i)), image8(i));
        // The rest of page 18 is erased; page 19 keeps its content.
        QCOMPARE(at(kStart + uint32_t(3 * kPage) - 1), uint8_t(0xFF));
        QCOMPARE(at(kStart + uint32_t(3 * kPage)), uint8_t(0x5A));
        // No write and no read-back reaches into page 17.
        for (const Stm32LogEntry &x : e.chip.log()) {
            if ((x.command != stm32::kCmdWriteMemory && x.command != stm32::kCmdReadMemory) || x.payload.size() < 4)
                continue;
            const uint32_t address = uint32_t(x.payload[0]) << 24 | uint32_t(x.payload[1]) << 16 |
                                     uint32_t(x.payload[2]) << 8 | x.payload[3];
            QVERIFY2(address < kStart + uint32_t(kPage) || address >= kStart + uint32_t(2 * kPage) ||
                         address >= 0x1FFF0000,
                     qPrintable(QString::number(address, 16)));
        }
    }

    // A page list that holds no byte of the image, or more pages than one erase
    // request can name, is no image to write: nothing is erased or written.
    void pageListWithoutTheImageErasesNothing_data()
    {
        QTest::addColumn<Bytes>("pages");
        QTest::newRow("a page beyond the image") << Bytes{5};
        QTest::newRow("256 pages") << Bytes(256, 0);
    }
    void pageListWithoutTheImageErasesNothing()
    {
        QFETCH(Bytes, pages);
        TUpdateOptions options;
        options.erasePages = pages;
        EngineOnChip e(Image(1000), options);
        e.run();
        QCOMPARE(e.r.outcomes, QList<TUpdateOutcome>{TUpdateOutcome::LinkFailed});
        QVERIFY(!e.failures.isEmpty());
        QCOMPARE(e.failures.first().cause, TUpdateCause::ImageNotLoaded);
        QVERIFY(!e.sentCommand(stm32::kCmdWriteMemory));
        QVERIFY(std::none_of(e.chip.log().begin(), e.chip.log().end(), [](const Stm32LogEntry &x) {
            return x.command == stm32::kCmdErase && !x.payload.empty();
        }));
    }

    // An image exactly the size of the chip's flash, erasing the pages it covers
    // and not one more, fits.
    void imageOfTheWholeFlashFitsItsPages()
    {
        TUpdateOptions options;
        options.imageBytes = stm32::kFlashBytes;
        for (int p = 0; p < int(stm32::kFlashBytes / stm32::kPageBytes); ++p)
            options.erasePages.push_back(uint8_t(p));
        EngineOnChip e(Image(int(stm32::kFlashBytes)), options);
        e.run(600000);
        QCOMPARE(e.r.outcomes, QList<TUpdateOutcome>{TUpdateOutcome::Done});
    }

    // A read-out reads the range asked for and erases and writes nothing.
    void readOutReadsTheFlash()
    {
        TUpdateOptions options;
        options.readOnly = true;
        options.startAddress = 0x08000400;
        options.readBytes = 600;
        EngineOnChip e(QByteArray(), options);
        std::vector<uint8_t> content(stm32::kFlashBytes);
        for (size_t i = 0; i < content.size(); ++i)
            content[i] = uint8_t(i * 7 + 3);
        e.chip.preloadFlash(stm32::kFlashBase, content);
        e.run();
        QCOMPARE(e.r.outcomes, QList<TUpdateOutcome>{TUpdateOutcome::Done});
        QCOMPARE(e.engine.Core().ReadSize(), 600);
        QVERIFY(std::equal(content.begin() + 0x400, content.begin() + 0x400 + 600, e.engine.Core().ReadOut()));
        QVERIFY(!e.sentCommand(stm32::kCmdErase));
        QVERIFY(!e.sentCommand(stm32::kCmdWriteMemory));

        // A range past the chip's flash is refused before any read of it.
        options.readBytes = int64_t(stm32::kFlashBytes);
        EngineOnChip past(QByteArray(), options);
        past.run();
        QCOMPARE(past.r.outcomes, QList<TUpdateOutcome>{TUpdateOutcome::Refused});
        QCOMPARE(past.engine.Core().LastFailure().cause, TUpdateCause::ImageTooLarge);
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
