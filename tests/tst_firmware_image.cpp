// The carried image, its loader and the layout of the update buffer.
#include "firmware/FirmwareImage.h"
#include "firmware/IspMemory.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

namespace {

// Flash address of image byte 0 and the range the vector table may point into.
constexpr uint32_t kFlashBase = 0x08000000;
constexpr uint32_t kFlashEnd = 0x08020000;
// The stand-in copies the module image's stack pointer and reset vector.
constexpr uint32_t kStandInStackPointer = 0x20002560;
constexpr uint32_t kStandInResetVector = 0x08002A3D;
constexpr qint64 kStandInBytes = 14628;
// Thumb "b ." at the reset handler.
constexpr uint8_t kIdleLoop[] = {0xFE, 0xE7};

QByteArray ReadFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

uint32_t Word(const QByteArray &b, int index)
{
    uint32_t w = 0;
    std::memcpy(&w, b.constData() + 4 * index, 4);  // little-endian host, as the image
    return w;
}

QByteArray ImageArea(const TIspMemory &isp, qsizetype n)
{
    return QByteArray(reinterpret_cast<const char *>(isp.IspBuffer().data() + kIspImageFirst), n);
}

QString WriteSized(const QTemporaryDir &dir, const QString &name, qint64 size)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(QByteArray(size, char(0x5A))) != size)
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

}  // namespace

class TestFirmwareImage : public QObject {
    Q_OBJECT

    const QByteArray source = ReadFile(QStringLiteral(TALVEX_FIRMWARE_IMAGE_ABS));
    // An update's buffer and image, as its core holds them.
    TIspMemory isp;
    TIspBuffer &IspBuffer = isp.IspBuffer();
    const std::optional<QByteArray> &ImageStream = isp.ImageStream();

private slots:
    void carriedImageEqualsTheFile()
    {
        QVERIFY(!source.isEmpty());
        QVERIFY(!ImageStream.has_value());  // none before the first load
        QCOMPARE(LoadFirmwareImage().value_or(QByteArray()), source);
        QVERIFY(isp.Load(LoadFirmwareImage()));
        QVERIFY(ImageStream.has_value());
        QCOMPARE(*ImageStream, source);
        QCOMPARE(ImageArea(isp, source.size()), source);
        qint64 size = 0;
        QVERIFY(CarriedFirmwareImageAcceptable(&size));
        QCOMPARE(size, qint64(source.size()));
    }

    void commandAreaIsNotTouched()
    {
        std::memset(IspBuffer.data() + kIspCommandFirst, 0xA5, kIspCommandLast);
        IspBuffer[0] = 0x11;
        QVERIFY(isp.Load(LoadFirmwareImage()));
        for (size_t p = kIspCommandFirst; p <= kIspCommandLast; ++p)
            QCOMPARE(IspBuffer[p], uint8_t(0xA5));
        QCOMPARE(IspBuffer[0], uint8_t(0x11));
    }

    void twoLoadsGiveTheSameContent()
    {
        QVERIFY(isp.Load(LoadFirmwareImage()));
        const QByteArray first = ImageArea(isp, ImageStream->size());
        QVERIFY(isp.Load(LoadFirmwareImage()));
        QCOMPARE(ImageArea(isp, ImageStream->size()), first);
        QCOMPARE(ImageStream->size(), first.size());
    }

    void vectorTablePointsIntoFlash()
    {
        QVERIFY(source.size() >= 8);
        QCOMPARE(Word(source, 0) & 0xFFF00000u, 0x20000000u);  // stack in SRAM
        const uint32_t reset = Word(source, 1);
        QCOMPARE(reset & 1u, 1u);  // Thumb
        QVERIFY(reset >= kFlashBase && reset < kFlashBase + uint32_t(source.size()));
    }

    void standInIsKnownAsSuch()
    {
#ifdef TALVEX_FIRMWARE_IS_STANDIN
        QVERIFY(CarriedFirmwareIsStandIn());
#else
        // Another image was given; only the stand-in's own bytes count as the stand-in.
        QCOMPARE(CarriedFirmwareIsStandIn(), source == ReadFile(QStringLiteral(TALVEX_STANDIN_IMAGE)));
#endif
    }

    void standInHasTheModuleImageForm()
    {
#ifndef TALVEX_FIRMWARE_IS_STANDIN
        QSKIP("built with another image; its vector words are its own");
#endif
        QVERIFY(isp.Load(LoadFirmwareImage()));
        QCOMPARE(qint64(ImageStream->size()), kStandInBytes);
        // Buffer positions 265 ... 14,892 hold the image.
        QCOMPARE(kIspImageFirst + size_t(kStandInBytes) - 1, size_t(14892));
        const uint8_t head[] = {0x60, 0x25, 0x00, 0x20, 0x3D, 0x2A, 0x00, 0x08};
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(&IspBuffer[kIspImageFirst]), 8),
                 QByteArray(reinterpret_cast<const char *>(head), 8));
        QCOMPARE(Word(source, 0), kStandInStackPointer);
        QCOMPARE(Word(source, 1), kStandInResetVector);
        const uint32_t at = (kStandInResetVector & ~1u) - kFlashBase;
        QCOMPARE(uint8_t(source[at]), kIdleLoop[0]);
        QCOMPARE(uint8_t(source[at + 1]), kIdleLoop[1]);
        // Every other handler slot is 0 or a Thumb address inside the image.
        for (int i = 2; i < 16 + 43; ++i) {
            const uint32_t w = Word(source, i);
            QVERIFY2(w == 0 ||
                         ((w & 1u) && w >= kFlashBase && w < kFlashEnd && w - kFlashBase < uint32_t(source.size())),
                     qPrintable(QString("vector %1 = %2").arg(i).arg(w, 8, 16, QChar('0'))));
        }
    }

    void sizeLimits_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("empty") << qint64(0) << false;
        QTest::newRow("one byte") << qint64(1) << true;
        QTest::newRow("largest") << qint64(261119) << true;
        QTest::newRow("one byte too many") << qint64(261120) << false;
        QTest::newRow("one MiB") << qint64(1048576) << false;
    }

    void sizeLimits()
    {
        QFETCH(qint64, size);
        QFETCH(bool, accepted);
        QCOMPARE(FirmwareImageSizeAcceptable(size), accepted);

        QTemporaryDir dir;
        const QString path = WriteSized(dir, "image.bin", size);
        QVERIFY(isp.Load(LoadFirmwareImage()));
        const QByteArray before = ImageArea(isp, source.size());
        const std::optional<QByteArray> loaded = LoadFirmwareImageFrom(path);
        QCOMPARE(loaded.has_value(), accepted);
        QCOMPARE(isp.Load(loaded), accepted);
        if (accepted) {
            QCOMPARE(qint64(ImageStream->size()), size);
            QCOMPARE(ImageArea(isp, size), QByteArray(size, char(0x5A)));
        } else {
            QCOMPARE(ImageArea(isp, source.size()), before);  // a refused image is not copied
        }
    }

    void missingFileIsRefused()
    {
        QVERIFY(isp.Load(LoadFirmwareImage()));
        const QByteArray before = ImageArea(isp, source.size());
        QVERIFY(!isp.Load(LoadFirmwareImageFrom(QStringLiteral(":/firmware/absent.bin"))));
        QCOMPARE(ImageArea(isp, source.size()), before);
        QVERIFY(ImageStream.has_value() && ImageStream->isEmpty());  // a new, empty stream stays
    }

    // The same limits stop the build: the configure-time check run on its own.
    void buildRefusesBadSizes_data()
    {
        QTest::addColumn<qint64>("size");  // -1: no file at all
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("message");
        QTest::newRow("missing") << qint64(-1) << false << "not found";
        QTest::newRow("empty") << qint64(0) << false << "is empty";
        QTest::newRow("too large") << qint64(261120) << false << "at most 261119 bytes";
        QTest::newRow("largest") << qint64(261119) << true << "(261119 bytes)";
        QTest::newRow("one byte") << qint64(1) << true << "(1 bytes)";
    }

    void buildRefusesBadSizes()
    {
        QFETCH(qint64, size);
        QFETCH(bool, accepted);
        QFETCH(QString, message);
        QTemporaryDir dir;
        const QString path = size < 0 ? dir.filePath("absent.bin") : WriteSized(dir, "image.bin", size);
        QProcess cmake;
        cmake.setProcessChannelMode(QProcess::MergedChannels);
        cmake.start(QStringLiteral(TALVEX_CMAKE_COMMAND),
                    {"-DTALVEX_FIRMWARE_IMAGE=" + path, "-P", QStringLiteral(TALVEX_FIRMWARE_CHECK_SCRIPT)});
        QVERIFY(cmake.waitForFinished(30000));
        const QString out = QString::fromLocal8Bit(cmake.readAll());
        QCOMPARE(cmake.exitStatus(), QProcess::NormalExit);
        QVERIFY2((cmake.exitCode() == 0) == accepted, qPrintable(out));
        QVERIFY2(out.simplified().contains(message), qPrintable(out));
    }
};

QTEST_GUILESS_MAIN(TestFirmwareImage)
#include "tst_firmware_image.moc"
