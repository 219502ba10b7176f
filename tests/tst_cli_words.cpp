// The command line's words for an update that failed: each stage and cause
// gives the reason a line engineer can act on.
#include "app/cli/UpdateWording.h"

#include <QtTest>

Q_DECLARE_METATYPE(TUpdateStage)
Q_DECLARE_METATYPE(TUpdateCause)

using talvex::cli::FailureText;

class TestCliWords : public QObject {
    Q_OBJECT

private slots:
    void failureReasons_data()
    {
        QTest::addColumn<TUpdateStage>("stage");
        QTest::addColumn<TUpdateCause>("cause");
        QTest::addColumn<uint32_t>("address");
        QTest::addColumn<QString>("said");
        QTest::addColumn<int>("firstPage");  // the pages the image erases
        using S = TUpdateStage;
        using C = TUpdateCause;
        QTest::newRow("silent chip") << S::Connecting << C::NoAnswer << 0u
                                     << "no answer to the sync byte (check the BOOT0/reset wiring or use --boot-entry)"
                                     << 0;
        QTest::newRow("Get refused") << S::Identifying << C::Refused << 0u
                                     << "the chip refused the Get/Get ID command while identifying the chip "
                                        "(read-protected chip?)"
                                     << 0;
        QTest::newRow("Read Memory refused") << S::FlashSize << C::Refused << 0u
                                             << "the chip refused the Read Memory command while reading the flash "
                                                "size (read-protected chip?)"
                                             << 0;
        QTest::newRow("erase refused") << S::Erasing << C::Refused << 0u
                                       << "erase refused by the chip (write-protected pages?)" << 0;
        QTest::newRow("write refused") << S::Writing << C::Refused << 0x08000600u << "write refused at 0x08000600" << 0;
        QTest::newRow("write unanswered")
            << S::Writing << C::NoAnswer << 0x08000100u << "no acknowledged write at 0x08000100 (no answer)" << 0;
        QTest::newRow("verify mismatch") << S::Verifying << C::VerifyMismatch << 0x0800ABCDu
                                         << "verify mismatch: flash at 0x0800ABCD holds 0x00, the image 0x00" << 0;
        QTest::newRow("image above the chip") << S::FlashSize << C::ImageTooLarge << 0u
                                              << "the image (140000 bytes, erasing 137 pages of 1 KiB) does not fit "
                                                 "the chip's flash (64 KiB, 65536 bytes); nothing was erased"
                                              << 0;
        QTest::newRow("image placed above the chip")
            << S::FlashSize << C::ImageTooLarge << 0u
            << "the image (140000 bytes, erasing pages 16 ... 152 of 1 KiB) does not fit the chip's flash (64 KiB, "
               "65536 bytes); nothing was erased"
            << 16;
        QTest::newRow("another family's chip")
            << S::Identifying << C::WrongChip << 0x0412u
            << "the chip answers product ID 0x0412, not 0x0410 of the module's family; nothing was erased "
               "(--any-chip takes another chip all the same)"
            << 0;
    }
    void failureReasons()
    {
        QFETCH(TUpdateStage, stage);
        QFETCH(TUpdateCause, cause);
        QFETCH(uint32_t, address);
        QFETCH(QString, said);
        QFETCH(int, firstPage);
        TUpdateFailure f;
        f.stage = stage;
        f.cause = cause;
        f.address = address;
        // 140,000 bytes cover 137 pages.
        QCOMPARE(FailureText(f, 140000, 64, firstPage, firstPage + 136), said);
    }
};

QTEST_GUILESS_MAIN(TestCliWords)
#include "tst_cli_words.moc"
