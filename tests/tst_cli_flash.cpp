// talvex-cli flash as a production line uses it, as a process against the
// simulated chip: which image files it takes and what lands in flash, the
// read-back that catches a badly programmed byte, the record it prints and logs,
// each way into the bootloader, and output that cannot be written.
#include "tests/support/CliHarness.h"

#include "firmware/stm32/Stm32Protocol.h"
#include "sim/BootloaderPersonality.h"
#include "sim/bootloader/Stm32MemoryMap.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <csignal>
#include <span>

namespace {

constexpr uint32_t kBase = stm32::kFlashBase;
constexpr int kPage = int(stm32::kPageBytes);
// What the flash holds before a test's flash, so that erased and untouched pages tell apart.
constexpr char kOldContent = char(0x5A);

// A binary with bytes no text has.
QByteArray Binary(int size)
{
    QByteArray b(size, '\0');
    for (int i = 0; i < size; ++i)
        b[i] = char((i * 7 + 3) & 0xFF);
    return b;
}

// One Intel HEX record with its checksum; `spoil` adds to the checksum byte.
QByteArray Record(uint8_t type, uint16_t offset, const QByteArray &data, int spoil = 0)
{
    QByteArray bytes;
    bytes.append(char(data.size()));
    bytes.append(char(offset >> 8));
    bytes.append(char(offset & 0xFF));
    bytes.append(char(type));
    bytes.append(data);
    uint8_t sum = 0;
    for (char c : bytes)
        sum = uint8_t(sum + uint8_t(c));
    bytes.append(char(uint8_t(-sum) + spoil));
    return ":" + bytes.toHex().toUpper() + "\r\n";
}

// `bytes` as Intel HEX at flash address `address`: an extended linear address
// record and data records of 32 bytes, as objcopy -O ihex writes them.
QByteArray HexAt(uint32_t address, const QByteArray &bytes);

QByteArray Linear(uint16_t upper)
{
    return Record(0x04, 0, QByteArray::fromHex(QByteArray::number(upper, 16).rightJustified(4, '0')));
}

const QByteArray kEnd = Record(0x01, 0, {});

QByteArray HexAt(uint32_t address, const QByteArray &bytes)
{
    QByteArray hex = Linear(uint16_t(address >> 16));
    for (int i = 0; i < bytes.size(); i += 32)
        hex += Record(0x00, uint16_t((address + uint32_t(i)) & 0xFFFF), bytes.mid(i, 32));
    return hex;
}

QString Sha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

QByteArray Filled(int size, char value)
{
    return QByteArray(size, value);
}

// A simulated module whose chip flash holds kOldContent everywhere.
std::unique_ptr<LoggedSim> OldFlashSim()
{
    auto sim = std::make_unique<LoggedSim>();
    (*sim)->withBootloader([](talvex::sim::BootloaderPersonality &boot) {
        const std::vector<uint8_t> old(stm32::kFlashBytes, uint8_t(kOldContent));
        boot.chip().preloadFlash(kBase, old);
    });
    return sim;
}

QByteArray FlashOf(Simulator &sim, int size)
{
    QByteArray bytes;
    sim.withBootloader([&](talvex::sim::BootloaderPersonality &boot) {
        const auto flash = boot.chip().flash();
        bytes = QByteArray(reinterpret_cast<const char *>(flash.data()),
                           std::min<qsizetype>(size, qsizetype(flash.size())));
    });
    return bytes;
}

QJsonObject JsonOf(const QString &line)
{
    return QJsonDocument::fromJson(line.toUtf8()).object();
}

}  // namespace

class TestCliFlash : public QObject {
    Q_OBJECT

    QTemporaryDir files;

    QString write(const QString &name, const QByteArray &content)
    {
        const QString path = files.filePath(name);
        QFile f(path);
        if (f.open(QIODevice::WriteOnly))
            f.write(content);
        return path;
    }

private slots:
    void imageFiles_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("status");
        // What the chip's flash holds afterwards, from the flash base; the rest is checked as kOldContent.
        QTest::addColumn<QByteArray>("flash");
        QTest::addColumn<QString>("said");
        QTest::addColumn<bool>("portOpened");

        const QByteArray first = QByteArray::fromHex("6025002029000008");
        const QByteArray later = QByteArray::fromHex("DEADBEEF0102");
        QByteArray holes = first + Filled(0x100 - first.size(), char(0xFF)) + later;
        // The page the image ends in is erased to its end.
        const QByteArray holesFlash = holes + Filled(kPage - holes.size(), char(0xFF));
        QTest::newRow("HEX with a hole, linear address and start records")
            << (Linear(0x0800) + Record(0x00, 0x0000, first) + Record(0x00, 0x0100, later) +
                Record(0x05, 0, QByteArray::fromHex("08000129")) + kEnd)
            << 0 << holesFlash << "verified" << true;
        QTest::newRow("HEX with LF line ends and lower case")
            << (Linear(0x0800) + Record(0x00, 0x0000, first) + kEnd).toLower().replace("\r\n", "\n") << 0
            << first + Filled(kPage - first.size(), char(0xFF)) << "verified" << true;
        QTest::newRow("HEX after a byte-order mark")
            << ("\xEF\xBB\xBF" + Linear(0x0800) + Record(0x00, 0x0000, first) + kEnd) << 0
            << first + Filled(kPage - first.size(), char(0xFF)) << "verified" << true;
        QTest::newRow("HEX with a stray binary byte")
            << (Linear(0x0800) + Record(0x00, 0x0000, first) + QByteArray(1, '\0') + kEnd) << 2 << QByteArray()
            << "starts like Intel HEX but holds bytes" << false;
        QTest::newRow("HEX with a bad checksum")
            << (Linear(0x0800) + Record(0x00, 0x0000, first) + Record(0x00, 0x0100, later, 1) + kEnd) << 2
            << QByteArray() << "line 3: checksum wrong" << false;
        QTest::newRow("HEX above the flash an image may fill")
            << (Linear(0x0804) + Record(0x00, 0x0000, first) + kEnd) << 2 << QByteArray() << "0x08040000" << false;
        QTest::newRow("HEX below the flash (segment address)")
            << (Record(0x02, 0, QByteArray::fromHex("1000")) + Record(0x00, 0, first) + kEnd) << 2 << QByteArray()
            << "outside the flash" << false;
        QTest::newRow("HEX cut short (no end record)")
            << (Linear(0x0800) + Record(0x00, 0x0000, first)) << 2 << QByteArray() << "no end-of-file record" << false;
        QTest::newRow("HEX with an unknown record type")
            << (Linear(0x0800) + Record(0x03, 0, QByteArray::fromHex("00000000")) + kEnd) << 2 << QByteArray()
            << "record type 03" << false;
        QTest::newRow("ELF file") << QByteArray("\x7F"
                                                "ELF\x01\x01\x01\0\0\0\0\0\0\0\0\0\x02\0\x28\0",
                                                20)
                                  << 2 << QByteArray() << "objcopy -O binary" << false;
        QTest::newRow("text file") << QByteArray("S00F000068656C6C6F202020202000003C\nS9030000FC\n") << 2
                                   << QByteArray() << "text file" << false;
        QTest::newRow("empty file") << QByteArray() << 2 << QByteArray() << "empty" << false;
        const QByteArray odd = Binary(3 * kPage + 5);
        QTest::newRow("binary, short last block")
            << odd << 0 << odd + Filled(4 * kPage - odd.size(), char(0xFF)) << "verified" << true;
        // The command line erases the pages an image covers, not one more (the window keeps its spare page).
        const QByteArray twoPages = Binary(2 * kPage);
        QTest::newRow("binary of exactly 2 KiB: its two pages erased")
            << twoPages << 0 << twoPages << "pages 0 ... 1 erased" << true;
        QTest::newRow("binary of 140,000 bytes: above the chip's 128 KiB")
            << Binary(140000) << 2 << QByteArray()
            << "the image (140000 bytes, erasing 137 pages of 1 KiB) does not "
               "fit the chip's flash (128 KiB, 131072 bytes); nothing was erased"
            << true;
        QTest::newRow("binary of exactly the chip's flash fits")
            << Binary(int(stm32::kFlashBytes)) << 0 << Binary(int(stm32::kFlashBytes)) << "pages 0 ... 127 erased"
            << true;
    }
    void imageFiles()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, status);
        QFETCH(QByteArray, flash);
        QFETCH(QString, said);
        QFETCH(bool, portOpened);

        const QString path = write(QString("image-%1").arg(QTest::currentDataTag()).replace(' ', '_'), content);
        auto sim = OldFlashSim();
        const Result r = RunCli({"-p", "COM2", "flash", "--image", path}, sim->portDir());
        QVERIFY2(r.status == status, qPrintable(Describe(r)));
        QVERIFY2((status == 0 ? r.out : r.err).contains(said), qPrintable(Describe(r)));
        if (status != 0)
            QVERIFY(r.out.isEmpty());
        if (!portOpened)
            QVERIFY(sim->received().isEmpty());  // refused before the port was opened
        // The flash holds `flash`, and beyond it what it held before.
        const QByteArray now = FlashOf(*sim->sim, int(stm32::kFlashBytes));
        QCOMPARE(now.left(flash.size()), flash);
        QCOMPARE(now.mid(flash.size()), Filled(int(stm32::kFlashBytes) - flash.size(), kOldContent));
    }

    // An image goes where its file says, or where --address puts a raw binary;
    // only the pages that hold its bytes are erased, written and read back.
    void imagesGoWhereTheyBelong_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("flash");  // from the flash base; beyond it the old content
        QTest::addColumn<QString>("said");      // on standard output, or the error
        QTest::addColumn<bool>("noted");        // standard error says it does not start at the base

        const QByteArray app = Binary(3000);  // pages 16 ... 18 from 0x08004000
        const QByteArray below = Filled(0x4000, kOldContent);
        QTest::newRow("HEX at 0x08004000, as objcopy --change-addresses makes it")
            << (HexAt(0x08004000, app) + kEnd) << QStringList{} << 0
            << below + app + Filled(3 * kPage - app.size(), char(0xFF))
            << "flashed 3000 bytes at 0x08004000, verified (1 of 3 runs)\npages 16 ... 18 erased" << true;
        const QByteArray piece = Binary(100);
        QTest::newRow("HEX in two pieces four pages apart")
            << (HexAt(0x08004000, piece) + HexAt(0x08005000, piece) + kEnd) << QStringList{} << 0
            << below + piece + Filled(kPage - piece.size(), char(0xFF)) + Filled(3 * kPage, kOldContent) + piece +
                   Filled(kPage - piece.size(), char(0xFF))
            << "pages 16, 20 erased" << true;
        QTest::newRow("binary at --address 0x08004000")
            << app << QStringList{"--address", "0x08004000"} << 0
            << below + app + Filled(3 * kPage - app.size(), char(0xFF))
            << "flashed 3000 bytes at 0x08004000, verified (1 of 3 runs)\npages 16 ... 18 erased" << true;
        QTest::newRow("binary without --address: at the flash base")
            << app << QStringList{} << 0 << app + Filled(3 * kPage - app.size(), char(0xFF))
            << "flashed 3000 bytes at 0x08000000, verified (1 of 3 runs)\npages 0 ... 2 erased" << false;
        QTest::newRow("HEX with --address") << (HexAt(0x08004000, app) + kEnd) << QStringList{"--address", "0x08004000"}
                                            << 2 << QByteArray() << "carries its own addresses" << false;
        QTest::newRow("binary placed past the flash an image may fill")
            << app << QStringList{"--address", "0x0803F800"} << 2 << QByteArray() << "run past" << false;
    }
    void imagesGoWhereTheyBelong()
    {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, args);
        QFETCH(int, status);
        QFETCH(QByteArray, flash);
        QFETCH(QString, said);
        QFETCH(bool, noted);

        const QString path = write(QString("placed-%1").arg(QTest::currentDataTag()).replace(' ', '_'), content);
        auto sim = OldFlashSim();
        const Result r = RunCli(QStringList{"-p", "COM2", "flash", "--image", path} + args, sim->portDir());
        QVERIFY2(r.status == status, qPrintable(Describe(r)));
        QVERIFY2((status == 0 ? r.out : r.err).contains(said), qPrintable(Describe(r)));
        QCOMPARE(r.err.contains("the image starts at 0x08004000, not at 0x08000000"), noted);
        const QByteArray now = FlashOf(*sim->sim, int(stm32::kFlashBytes));
        QCOMPARE(now.left(flash.size()), flash);
        QCOMPARE(now.mid(flash.size()), Filled(int(stm32::kFlashBytes) - flash.size(), kOldContent));
    }

    // What an auditor matches a record against: the file as given (its
    // sha256sum), the bytes written, the tool's version, the start address, the
    // pages erased and the image's absolute path, in the log as on standard output.
    void recordsAnAuditorCanMatch()
    {
        LoggedSim sim;
        const QByteArray app = Binary(3000);
        const QByteArray hex = HexAt(0x08004000, app) + kEnd;
        const QString path = write("audit.hex", hex);
        const QString log = files.filePath("audit.log");
        const QString relative = QDir::current().relativeFilePath(path);
        QVERIFY(QFileInfo(relative).isRelative());
        const Result r = RunCli({"-p", "COM2", "--json", "--log", log, "flash", "--image", relative}, sim.portDir());
        QVERIFY2(r.status == 0, qPrintable(Describe(r)));
        const QJsonObject o = JsonOf(r.out);
        QCOMPARE(o["sha256"].toString(), Sha256(hex));
        QCOMPARE(o["written_sha256"].toString(), Sha256(app));
        QCOMPARE(o["tool_version"].toString(), QString(TALVEX_VERSION_OF_TEST));
        QCOMPARE(o["start_address"].toString(), QString("0x08004000"));
        QCOMPARE(o["pages_erased"].toArray(), (QJsonArray{16, 17, 18}));
        QCOMPARE(o["image"].toString(), QFileInfo(path).absoluteFilePath());
        QCOMPARE(o["command"].toString(), QString("flash"));
        QCOMPARE(ReadAll(log), r.out.toUtf8());
    }

    // A refusal that names an image is recorded too, with the image it named.
    void refusedImagesAreRecorded_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");  // empty name: no file at all
        QTest::newRow("missing file") << "missing.bin" << QByteArray();
        QTest::newRow("ELF file") << "program.elf"
                                  << QByteArray("\x7F"
                                                "ELF\x01\x01\x01\0\0\0",
                                                10);
    }
    void refusedImagesAreRecorded()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        const QString path = content.isEmpty() ? files.filePath(name) : write(name, content);
        const QString log = files.filePath("refused-" + name + ".log");
        const Result r = RunCli({"-p", "COM2", "--log", log, "flash", "--image", path}, "/nonexistent");
        QCOMPARE(r.status, 2);
        const QStringList lines = Lines(QString::fromUtf8(ReadAll(log)));
        QCOMPARE(lines.size(), 1);
        const QJsonObject o = JsonOf(lines[0]);
        QCOMPARE(o["command"].toString(), QString("flash"));
        QCOMPARE(o["image"].toString(), path);
        QCOMPARE(o["result"].toString(), QString("failed"));
        QCOMPARE(o["exit"].toInt(), 2);
        QCOMPARE(o["stage"].toString(), QString("image"));
        QVERIFY(!o["tool_version"].toString().isEmpty());
    }

    // Each record leaves in one write() and is then synced: a power cut after
    // the command has ended cannot lose it, and no other process's record can
    // come between its parts.
    void recordIsOneWriteThenFsync()
    {
        const QString log = files.filePath("synced.log");
        const QString trace = files.filePath("strace.txt");
        QProcess p;
        // The leak check of a sanitizer build cannot run under a tracer; the rest of it can.
        p.setProcessEnvironment(CliEnvironment("/nonexistent", {{"ASAN_OPTIONS", "detect_leaks=0"}}));
        p.start("strace", {"-f", "-e", "trace=openat,write,fsync", "-o", trace, TALVEX_CLI_EXE, "-p", "COM2", "--log",
                           log, "flash", "--image",
                           write("synced.elf", QByteArray("\x7F"
                                                          "ELF\x01\x01\x01\0\0\0",
                                                          10))});
        QVERIFY(p.waitForFinished(20000));
        QCOMPARE(p.exitCode(), 2);
        const QString calls = QString::fromUtf8(ReadAll(trace));
        const QRegularExpression open(
            QString("openat\\([^\"]*\"%1\", [^)]*\\) = (\\d+)").arg(QRegularExpression::escape(log)));
        const QRegularExpressionMatch opened = open.match(calls);
        QVERIFY2(opened.hasMatch(), qPrintable(calls));
        const QString fd = opened.captured(1);
        // The calls on the log's descriptor, in order.
        QStringList onLog;
        static const QRegularExpression call("(write|fsync)\\((\\d+)[,)]");
        for (auto it = call.globalMatch(calls); it.hasNext();) {
            const QRegularExpressionMatch m = it.next();
            if (m.captured(2) == fd)
                onLog << m.captured(1);
        }
        QCOMPARE(onLog, (QStringList{"write", "fsync"}));
        QCOMPARE(Lines(QString::fromUtf8(ReadAll(log))).size(), 1);
    }

    // A result that cannot reach standard output is said in the record of the
    // flash itself, with its port and chip, not in a second line without them.
    void lostOutputIsInTheSameRecord()
    {
        LoggedSim sim;
        const QString path = write("lost.bin", Binary(1000));
        const QString log = files.filePath("lost.log");
        QProcess p;
        p.setStandardOutputFile("/dev/full");
        StartCli(p, {"-p", "COM2", "--log", log, "flash", "--image", path}, sim.portDir());
        QVERIFY(p.waitForFinished(20000));
        QCOMPARE(p.exitCode(), 1);
        const QStringList lines = Lines(QString::fromUtf8(ReadAll(log)));
        QCOMPARE(lines.size(), 1);
        const QJsonObject o = JsonOf(lines[0]);
        QCOMPARE(o["command"].toString(), QString("flash"));
        QCOMPARE(o["port"].toString(), QString("COM2"));
        QVERIFY(!o["unique_id"].toString().isEmpty());
        QVERIFY(o["output_error"].toString().contains("No space left on device"));
        QCOMPARE(o["exit"].toInt(), 1);
    }

    // read-flash reads what the chip holds into a file, with its record.
    void readFlashKeepsWhatTheChipHolds()
    {
        auto sim = OldFlashSim();
        const QByteArray app = Binary(3000);
        (*sim)->withBootloader([&](talvex::sim::BootloaderPersonality &boot) {
            boot.chip().preloadFlash(kBase + 0x4000,
                                     std::span(reinterpret_cast<const uint8_t *>(app.constData()), size_t(app.size())));
        });
        const QString out = files.filePath("backup.bin");
        const QString log = files.filePath("backup.log");
        const Result r = RunCli(
            {"-p", "COM2", "--json", "--log", log, "read-flash", out, "--address", "0x08004000", "--length", "3000"},
            sim->portDir());
        QVERIFY2(r.status == 0, qPrintable(Describe(r)));
        QCOMPARE(ReadAll(out), app);
        const QJsonObject o = JsonOf(r.out);
        QCOMPARE(o["command"].toString(), QString("read-flash"));
        QCOMPARE(o["sha256"].toString(), Sha256(app));
        QCOMPARE(o["start_address"].toString(), QString("0x08004000"));
        QCOMPARE(o["bytes"].toInt(), 3000);
        QCOMPARE(o["file"].toString(), out);
        QVERIFY(!o["unique_id"].toString().isEmpty());
        QCOMPARE(ReadAll(log), r.out.toUtf8());
        // Nothing was erased or written.
        QVERIFY(!sim->received().contains("43 BC"));
        QVERIFY(!sim->received().contains("31 CE"));

        // Without --length: the whole flash.
        const Result all = RunCli({"-p", "COM2", "read-flash", out}, sim->portDir());
        QVERIFY2(all.status == 0, qPrintable(Describe(all)));
        QCOMPARE(ReadAll(out), FlashOf(*sim->sim, int(stm32::kFlashBytes)));
    }

    void verifyCatchesAByteStoredWrong()
    {
        LoggedSim sim;
        const uint32_t weak = kBase + 0x123;
        sim->withBootloader([&](talvex::sim::BootloaderPersonality &boot) {
            Stm32Faults faults;
            faults.flipAddress = weak;
            faults.flipMask = 0x04;
            boot.chip().setFaults(faults);
        });
        const QByteArray image = Binary(3 * kPage + 5);
        const QString path = write("weak.bin", image);
        const QString log = files.filePath("weak.log");
        const Result r = RunCli({"-p", "COM2", "--json", "--log", log, "flash", "--image", path}, sim.portDir());
        // --json keeps standard error to the one object: no progress lines.
        QVERIFY2(r.status == 1, qPrintable(Describe(r)));
        QVERIFY(r.out.isEmpty());
        // On stderr one JSON object: the error, the stage and the exit status.
        QCOMPARE(Lines(r.err).size(), 1);
        const QJsonObject e = JsonOf(r.err);
        QCOMPARE(e["stage"].toString(), QString("verify"));
        QCOMPARE(e["exit"].toInt(), 1);
        const auto hex = [](int v) { return QString("%1").arg(v, 2, 16, QChar('0')).toUpper(); };
        const QString expected = QString("verify mismatch: flash at 0x08000123 holds 0x%1, the image 0x%2")
                                     .arg(hex(uint8_t(image[0x123]) ^ 0x04), hex(uint8_t(image[0x123])));
        QVERIFY2(e["error"].toString().contains(expected), qPrintable(e["error"].toString() + " vs " + expected));
        // The line's record of the failure.
        const QStringList logged = Lines(QString::fromUtf8(ReadAll(log)));
        QCOMPARE(logged.size(), 1);
        const QJsonObject l = JsonOf(logged[0]);
        QCOMPARE(l["result"].toString(), QString("failed"));
        QCOMPARE(l["verified"].toBool(), false);
        QCOMPARE(l["verify_address"].toString(), QString("0x08000123"));
        QCOMPARE(l["unique_id"].toString(), QString("54414C564558000120240615"));
    }

    void withoutVerifyTheWeakByteGoesUnnoticed()
    {
        LoggedSim sim;
        sim->withBootloader([&](talvex::sim::BootloaderPersonality &boot) {
            Stm32Faults faults;
            faults.flipAddress = kBase + 0x10;
            faults.flipMask = 0x80;
            boot.chip().setFaults(faults);
        });
        const QString path = write("unchecked.bin", Binary(600));
        const Result r = RunCli({"-p", "COM2", "--json", "-q", "flash", "--no-verify", "--image", path}, sim.portDir());
        QVERIFY2(r.status == 0, qPrintable(Describe(r)));
        QCOMPARE(JsonOf(r.out)["verified"].toBool(), false);
        // No Read Memory after the last block.
        const QStringList frames = sim.received();
        // The flash-size, option-byte (write protection) and unique-ID reads only.
        QCOMPARE(frames.count("11 EE"), 3);
    }

    void resultFollowsTheSchema()
    {
        LoggedSim sim;
        const QByteArray image = Binary(1000);
        const QString path = write("schema.bin", image);
        const QString log = files.filePath("line.log");
        const Result r = RunCli({"-p", "COM2", "--json", "-q", "--log", log, "flash", "--image", path}, sim.portDir());
        QVERIFY2(r.status == 0, qPrintable(Describe(r)));
        QVERIFY(r.err.isEmpty());
        QCOMPARE(Lines(r.out).size(), 1);
        const QJsonObject o = JsonOf(r.out);

        // Required fields and their types.
        const QList<QPair<QString, QJsonValue::Type>> schema = {
            {"time", QJsonValue::String},       {"port", QJsonValue::String},        {"image", QJsonValue::String},
            {"size", QJsonValue::Double},       {"sha256", QJsonValue::String},      {"product_id", QJsonValue::String},
            {"bootloader", QJsonValue::String}, {"unique_id", QJsonValue::String},   {"verified", QJsonValue::Bool},
            {"runs", QJsonValue::Double},       {"duration_ms", QJsonValue::Double}, {"result", QJsonValue::String},
        };
        for (const auto &[name, type] : schema) {
            QVERIFY2(o.contains(name), qPrintable(name));
            QVERIFY2(o[name].type() == type, qPrintable(name));
        }
        QVERIFY(o.contains("port_by_id"));
        QVERIFY(o["port_by_id"].isNull() || o["port_by_id"].isString());

        const QDateTime time = QDateTime::fromString(o["time"].toString(), Qt::ISODateWithMs);
        QVERIFY(time.isValid());
        QCOMPARE(time.timeSpec(), Qt::UTC);
        QVERIFY(qAbs(time.secsTo(QDateTime::currentDateTimeUtc())) < 60);
        QCOMPARE(o["port"].toString(), QString("COM2"));
        QCOMPARE(o["image"].toString(), path);
        QCOMPARE(o["size"].toInt(), image.size());
        QCOMPARE(o["sha256"].toString(),
                 QString::fromLatin1(QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex()));
        QCOMPARE(o["product_id"].toString(), QString("0x0410"));
        QCOMPARE(o["bootloader"].toString(), QString("2.2"));
        // The unique ID as the chip holds it, in the order read.
        QString uid;
        sim->withBootloader([&](talvex::sim::BootloaderPersonality &boot) {
            for (uint32_t i = 0; i < stm32::kUniqueIdBytes; ++i)
                uid += QString("%1")
                           .arg(boot.chip().memory().read(stm32::kUniqueIdAddress + i), 2, 16, QChar('0'))
                           .toUpper();
        });
        QCOMPARE(o["unique_id"].toString(), uid);
        QCOMPARE(o["verified"].toBool(), true);
        QCOMPARE(o["runs"].toInt(), 1);
        QVERIFY(o["duration_ms"].toInteger() > 0);
        QCOMPARE(o["result"].toString(), QString("done"));

        // The log holds the same object; the next run appends.
        QCOMPARE(ReadAll(log), r.out.toUtf8());
        const Result again = RunCli({"-p", "COM2", "--json", "-q", "--log", log, "flash", "--image", path},
                                    sim.portDir());
        QCOMPARE(again.status, 0);
        QCOMPARE(Lines(QString::fromUtf8(ReadAll(log))).size(), 2);
    }

    void bootEntries_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<int>("unansweredSyncs");
        QTest::addColumn<int>("syncs");
        QTest::newRow("dtr-rts") << "dtr-rts" << 0 << 1;
        QTest::newRow("inverted") << "inverted" << 0 << 1;
        // The operator is slow: the chip hears the third sync byte, a second apart.
        QTest::newRow("manual") << "manual" << 2 << 3;
    }
    void bootEntries()
    {
        QFETCH(QString, entry);
        QFETCH(int, unansweredSyncs);
        QFETCH(int, syncs);
        LoggedSim sim;
        sim->withBootloader([&](talvex::sim::BootloaderPersonality &boot) {
            Stm32Faults faults;
            faults.unansweredSyncs = unansweredSyncs;
            boot.chip().setFaults(faults);
        });
        const QByteArray image = Binary(2000);
        const QString path = write("entry.bin", image);
        const Result r = RunCli({"-p", "COM2", "flash", "--boot-entry", entry, "--image", path}, sim.portDir());
        QVERIFY2(r.status == 0, qPrintable(Describe(r)));
        QVERIFY(FlashHolds(*sim.sim, image));
        QCOMPARE(sim.received().count("7F"), syncs);
        QCOMPARE(r.err.contains("hold BOOT0 high and reset the module"), entry == "manual");
        // The manual entry touches no line, so nothing restarts the module either.
        QCOMPARE(r.err.contains("restarting the module"), entry != "manual");
    }

    // Interrupted, flash stops, restarts the module, closes the port and writes
    // its record, then ends by the signal (a shell shows 128 + its number).
    void interruptedFlashEndsBySignal()
    {
        LoggedSim sim(SimMode::FixedPort, false);  // nothing answers the sync byte
        const QString path = write("interrupted.bin", Binary(600));
        QProcess p;
        StartCli(p, {"-p", "COM2", "--json", "flash", "--image", path}, sim.portDir());
        QTRY_VERIFY(sim.received().contains("7F"));
        p.terminate();
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitStatus(), QProcess::CrashExit);
        QCOMPARE(p.exitCode(), int(SIGTERM));
        const QJsonObject e = JsonOf(QString::fromUtf8(p.readAllStandardError()).trimmed());
        QCOMPARE(e["exit"].toInt(), 128 + SIGTERM);
        QCOMPARE(e["stage"].toString(), QString("connect"));
    }

    // SIGINT (Ctrl-C) and SIGHUP (the terminal gone) at 30 % of a flash at line
    // speed: the program ends by that signal, and the port is free at once for
    // the next flash, which succeeds.
    void interruptAtThirtyPercentFreesThePort_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }
    void interruptAtThirtyPercentFreesThePort()
    {
        QFETCH(int, signal);
        LoggedSim sim;
        sim->withBootloader([](talvex::sim::BootloaderPersonality &boot) { boot.setRealistic(true); });
        constexpr int kBlocks = 80;
        const QByteArray image = Binary(kBlocks * int(stm32::kMaxTransferBytes));
        const QString path = write("thirty.bin", image);
        const QString log = files.filePath(QString("thirty-%1.log").arg(signal));
        QProcess p;
        StartCli(p, {"-p", "COM2", "--json", "--log", log, "flash", "--image", path}, sim.portDir());
        const QString writeMemory = "31 CE";
        QTRY_VERIFY_WITH_TIMEOUT(sim.received().count(writeMemory) >= kBlocks * 3 / 10, 30000);
        ::kill(pid_t(p.processId()), signal);
        QVERIFY(p.waitForFinished(5000));
        QVERIFY(sim.received().count(writeMemory) < kBlocks);
        QCOMPARE(p.exitStatus(), QProcess::CrashExit);
        QCOMPARE(p.exitCode(), signal);
        const QJsonObject e = JsonOf(QString::fromUtf8(p.readAllStandardError()).trimmed());
        QCOMPARE(e["exit"].toInt(), 128 + signal);
        QCOMPARE(e["stage"].toString(), QString("write"));
        // The record was written before the signal ended the program.
        QCOMPARE(Lines(QString::fromUtf8(ReadAll(log))).size(), 1);

        const Result again = RunCli({"-p", "COM2", "-q", "flash", "--image", path}, sim.portDir());
        QVERIFY2(again.status == 0, qPrintable(Describe(again)));
        QVERIFY(FlashHolds(*sim.sim, image));
    }

    // A read-protected chip refuses Read Memory: the flash fails at once with the
    // reason, in one run, instead of three runs of time-outs.
    void readProtectedChipFailsAtOnce()
    {
        LoggedSim sim;
        sim->withBootloader([](talvex::sim::BootloaderPersonality &boot) {
            Stm32Faults faults;
            faults.nackAt = {stm32::kCmdReadMemory, 0};
            faults.nackTimes = 1000;
            boot.chip().setFaults(faults);
        });
        const Result r = RunCli({"-p", "COM2", "flash", "--image", write("rdp.bin", Binary(600))}, sim.portDir());
        QCOMPARE(r.status, 1);
        QVERIFY2(r.err.contains("read-protected") && r.err.contains("1 of 3 runs"), qPrintable(r.err));
        QVERIFY2(r.ms < 2000, qPrintable(QString::number(r.ms)));
        QCOMPARE(sim.received().count("7F"), 1);
    }

    // A NACK to Write Memory ends that run at once; the next run writes the image.
    void writeRefusalIsNotWaitedOut()
    {
        LoggedSim sim;
        sim->withBootloader([](talvex::sim::BootloaderPersonality &boot) {
            Stm32Faults faults;
            faults.nackAt = {stm32::kCmdWriteMemory, 0};
            faults.nackTimes = 1;
            boot.chip().setFaults(faults);
        });
        const QByteArray image = Binary(600);
        const Result r = RunCli({"-p", "COM2", "flash", "--image", write("nack.bin", image)}, sim.portDir());
        QVERIFY2(r.status == 0, qPrintable(Describe(r)));
        QVERIFY2(r.out.contains("(2 of 3 runs)"), qPrintable(r.out));
        QVERIFY2(r.ms < 3000, qPrintable(QString::number(r.ms)));
        QVERIFY(FlashHolds(*sim.sim, image));
    }

    // The run count is counted once: three time-outs are "3 of 3", a refusal in
    // the first run "1 of 3", and the record's runs agree.
    void runsAreCountedOnce()
    {
        LoggedSim sim;
        const QString log = files.filePath("runs.log");
        const Result r = RunCli({"-p", "COM2", "--log", log, "flash", "--image", write("big.bin", Binary(129 * 1024))},
                                sim.portDir());
        QCOMPARE(r.status, 2);
        QVERIFY2(r.err.contains("(1 of 3 runs)"), qPrintable(r.err));
        QCOMPARE(JsonOf(Lines(QString::fromUtf8(ReadAll(log))).last())["runs"].toInt(), 1);
    }

    void outputThatCannotBeWrittenFails_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("info --json") << QStringList{"--json", "info"};
        QTest::newRow("info") << QStringList{"info"};
        QTest::newRow("read") << QStringList{"read", "28", "1"};
        QTest::newRow("watch without end") << QStringList{"watch"};
        QTest::newRow("--help") << QStringList{"--help"};
    }
    void outputThatCannotBeWrittenFails()
    {
        QFETCH(QStringList, args);
        LoggedSim sim;
        QProcess p;
        p.setStandardOutputFile("/dev/full");
        StartCli(p, QStringList{"-p", "COM2"} + args, sim.portDir());
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 1);
        QVERIFY(QString::fromUtf8(p.readAllStandardError()).contains("No space left on device"));
    }

    void portsShowTheAdaptersNames()
    {
        LoggedSim sim;
        QTemporaryDir byId;
        const QString link = byId.filePath("usb-FTDI_FT232R_USB_UART_A10K3S5Y-if00-port0");
        QVERIFY(QFile::link(QFileInfo(sim.portDir() + "/COM2").canonicalFilePath(), link));
        QProcess p;
        StartCli(p, {"--json", "ports"}, sim.portDir(), {{"TALVEX_SERIAL_BY_ID", byId.path()}});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 0);
        const QStringList lines = Lines(QString::fromUtf8(p.readAllStandardOutput()));
        QCOMPARE(lines.size(), 9);  // COM1 ... COM8, then the adapter
        QCOMPARE(JsonOf(lines[1])["by_id"].toString(), link);
        const QJsonObject adapter = JsonOf(lines[8]);
        QCOMPARE(adapter["adapter"].toString(), QString("FTDI FT232R USB UART A10K3S5Y"));
        QCOMPARE(adapter["com"].toArray(), QJsonArray{"COM2"});
    }
};

QTEST_GUILESS_MAIN(TestCliFlash)
#include "tst_cli_flash.moc"
