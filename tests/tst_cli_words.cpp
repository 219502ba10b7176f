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
        using S = TUpdateStage;
        using C = TUpdateCause;
        QTest::newRow("silent chip") << S::Connecting << C::NoAnswer << 0u
                                     << "no answer to the sync byte (check the BOOT0/reset wiring or use --boot-entry)";
        QTest::newRow("Get refused") << S::Identifying << C::Refused << 0u
                                     << "the chip refused the Get/Get ID command while identifying the chip "
                                        "(read-protected chip?)";
        QTest::newRow("Read Memory refused") << S::FlashSize << C::Refused << 0u
                                             << "the chip refused the Read Memory command while reading the flash "
                                                "size (read-protected chip?)";
        QTest::newRow("erase refused") << S::Erasing << C::Refused << 0u
                                       << "erase refused by the chip (write-protected pages?)";
        QTest::newRow("write refused") << S::Writing << C::Refused << 0x08000600u << "write refused at 0x08000600";
        QTest::newRow("write unanswered")
            << S::Writing << C::NoAnswer << 0x08000100u << "no acknowledged write at 0x08000100 (no answer)";
        QTest::newRow("verify mismatch") << S::Verifying << C::VerifyMismatch << 0x0800ABCDu
                                         << "verify mismatch: flash at 0x0800ABCD holds 0x00, the image 0x00";
        QTest::newRow("image above the chip") << S::FlashSize << C::ImageTooLarge << 0u
                                              << "the image (140000 bytes, erasing 137 pages of 1 KiB) does not fit "
                                                 "the chip's flash (64 KiB, 65536 bytes); nothing was erased";
    }
    void failureReasons()
    {
        QFETCH(TUpdateStage, stage);
        QFETCH(TUpdateCause, cause);
        QFETCH(uint32_t, address);
        QFETCH(QString, said);
        TUpdateFailure f;
        f.stage = stage;
        f.cause = cause;
        f.address = address;
        QCOMPARE(FailureText(f, 140000, 64), said);
    }
};

QTEST_GUILESS_MAIN(TestCliWords)
#include "tst_cli_words.moc"
