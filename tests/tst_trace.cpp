// The line trace: what the decoders say of each chunk, the trace of talvex-cli
// against the simulated module's own frame log (an echoing line with noise and
// spoiled CRCs), a flash's trace naming every bootloader command in order, and
// watch --csv.
#include "firmware/FirmwareImage.h"
#include "modbus/Frames.h"
#include "tests/support/CliProcess.h"
#include "tests/support/SimFixture.h"
#include "trace/BootDecoder.h"
#include "trace/ModbusDecoder.h"

#include <QDateTime>
#include <QFile>
#include <QRegularExpression>
#include <QtTest>

using namespace talvex::trace;

namespace {

std::vector<uint8_t> Hex(const QString &text)
{
    std::vector<uint8_t> out;
    for (const QString &b : text.split(' ', Qt::SkipEmptyParts))
        out.push_back(uint8_t(b.toUInt(nullptr, 16)));
    return out;
}

QString HexText(const std::vector<uint8_t> &bytes)
{
    return QString::fromStdString(HexBytes(bytes));
}

// A read reply from station 1 with `count` registers 0x0100 + i and its CRC, spoiled when asked.
std::vector<uint8_t> ReadReply(int count, bool spoil = false)
{
    std::vector<uint8_t> f{1, kFnReadHoldingRegisters, uint8_t(2 * count)};
    for (int i = 0; i < count; ++i)
        f.insert(f.end(), {1, uint8_t(i)});
    f.resize(f.size() + 2);
    PutCrc(f.data(), f.size() - 2);
    if (spoil)
        f[f.size() - 2] ^= 0xFF;
    return f;
}

std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> out;
    for (const auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Splits `bytes` at the given offsets into chunks, as reads of the port would.
std::vector<std::vector<uint8_t>> Chunks(const std::vector<uint8_t> &bytes, const std::vector<size_t> &cuts)
{
    std::vector<std::vector<uint8_t>> out;
    size_t from = 0;
    for (size_t cut : cuts) {
        out.emplace_back(bytes.begin() + long(from), bytes.begin() + long(cut));
        from = cut;
    }
    out.emplace_back(bytes.begin() + long(from), bytes.end());
    return out;
}

struct Line {
    QString direction;
    std::vector<uint8_t> bytes;
    QString text;
};

// The lines of a trace file: "  1234.567 rx   +0.1 ms  01 03 ...  | text".
QList<Line> ParseTrace(const QString &text)
{
    static const QRegularExpression re(
        QStringLiteral("^\\s*[\\d.]+ (tx|rx)\\s+(?:[+-][\\d.]+ ms)?\\s+([0-9A-F ]+?)  \\| (.*)$"));
    QList<Line> lines;
    for (const QString &l : text.split('\n', Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch m = re.match(l);
        if (m.hasMatch())
            lines.append({m.captured(1), Hex(m.captured(2)), m.captured(3)});
    }
    return lines;
}

// The frame log of the simulated module: "   12.345 rx 01 03 ..." and "   12.345 -- note".
struct SimEvent {
    QString kind;  // "rx", "tx" or "--"
    std::vector<uint8_t> bytes;
    QString note;
};

QList<SimEvent> ParseSimLog(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QList<SimEvent> events;
    static const QRegularExpression re(QStringLiteral("^\\s*[\\d.]+ (rx|tx|--) ?(.*)$"));
    for (const QString &l : QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch m = re.match(l);
        if (!m.hasMatch())
            continue;
        if (m.captured(1) == "--")
            events.append({"--", {}, m.captured(2)});
        else
            events.append({m.captured(1), Hex(m.captured(2).section("  (", 0, 0)), m.captured(2)});
    }
    return events;
}

int StrayCount(const QString &text)
{
    static const QRegularExpression re(QStringLiteral("(\\d+) bytes? stray(?! after)"));
    int n = 0;
    for (auto it = re.globalMatch(text); it.hasNext();)
        n += it.next().captured(1).toInt();
    return n;
}

}  // namespace

class TestTrace : public QObject {
    Q_OBJECT
private slots:
    // One request, its answer in chunks: what each chunk is said to be.
    void modbusChunks_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QList<int>>("cuts");
        QTest::addColumn<QStringList>("says");
        QTest::addColumn<QList<bool>>("failed");

        const QString read = "01 03 00 00 00 02 C4 0B";
        const QString reply = HexText(ReadReply(2));
        const QString spoiled = HexText(ReadReply(2, true));
        QTest::newRow("whole reply") << read << reply << QList<int>{}
                                     << QStringList{"reply: station 1, 2 registers, CRC good"} << QList<bool>{false};
        QTest::newRow("reply in two reads")
            << read << reply << QList<int>{4}
            << QStringList{"start of reply, 4 of 9 bytes", "end of reply: station 1, 2 registers, CRC good"}
            << QList<bool>{false, false};
        QTest::newRow("spoiled CRC") << read << spoiled << QList<int>{} << QStringList{"CRC bad"} << QList<bool>{true};
        QTest::newRow("echo, noise, reply")
            << read << read + " 3A AB AC " + reply << QList<int>{8, 11}
            << QStringList{"echo of the request", "3 bytes stray", "reply: station 1, 2 registers, CRC good"}
            << QList<bool>{false, true, false};
        QTest::newRow("echo cut, rest with noise and reply")
            << read << read + " 3A " + reply << QList<int>{5}
            << QStringList{"echo of the request, 5 of 8 bytes", "echo of the request; 1 byte stray; reply: station 1"}
            << QList<bool>{false, true};
        QTest::newRow("exception")
            << read << "01 83 02 C0 F1" << QList<int>{}
            << QStringList{"exception: station 1, function 3, code 2 (illegal data address), CRC good"}
            << QList<bool>{true};
        QTest::newRow("stray after the reply")
            << read << reply + " 00" << QList<int>{} << QStringList{"CRC good; 1 byte stray after the reply"}
            << QList<bool>{true};
        QTest::newRow("write confirmed")
            << "01 06 00 0A 00 64 A8 23"
            << "01 06 00 0A 00 64 A8 23" << QList<int>{}
            << QStringList{"reply: station 1, write confirmed, address 10, value 100, CRC good"} << QList<bool>{false};
        QTest::newRow("noise only") << read << "FF FE FD" << QList<int>{} << QStringList{"3 bytes stray"}
                                    << QList<bool>{true};
    }
    void modbusChunks()
    {
        QFETCH(QString, request);
        QFETCH(QString, answer);
        QFETCH(QList<int>, cuts);
        QFETCH(QStringList, says);
        QFETCH(QList<bool>, failed);
        ModbusDecoder d;
        TraceLine sent;
        sent.bytes = Hex(request);
        d.Sent(int32_t(sent.bytes.size()), sent);
        QVERIFY2(sent.text.rfind("request: station 1", 0) == 0, sent.text.c_str());
        const auto chunks = Chunks(Hex(answer), std::vector<size_t>(cuts.begin(), cuts.end()));
        QCOMPARE(int(chunks.size()), says.size());
        for (size_t i = 0; i < chunks.size(); ++i) {
            TraceLine line;
            line.direction = Direction::Rx;
            line.bytes = chunks[i];
            d.Received(line);
            QVERIFY2(QString::fromStdString(line.text).contains(says[int(i)]),
                     qPrintable(QString::fromStdString(line.text)));
            QCOMPARE(line.failed, failed[int(i)]);
            QCOMPARE(line.exchange, uint64_t(1));
        }
    }

    void modbusRequestWithoutAnswerIsToldAtTheNext()
    {
        ModbusDecoder d;
        TraceLine a, b;
        a.bytes = b.bytes = Hex("01 03 00 00 00 02 C4 0B");
        d.Sent(8, a);
        d.Sent(8, b);
        QVERIFY(!a.unansweredBefore);
        QVERIFY(b.unansweredBefore);
        QCOMPARE(b.exchange, uint64_t(2));
        TraceLine cut;
        cut.bytes = Hex("01 03 00");
        d.Sent(-3, cut);
        QVERIFY(cut.failed);
        QVERIFY2(cut.text.find("only 3 bytes went out") != std::string::npos, cut.text.c_str());
    }

    // A bootloader course: host parts and chip answers in turn, each said as what it is.
    void bootCourse()
    {
        struct Step {
            bool host;
            const char *bytes;
            const char *says;
            bool failed;
        };
        const Step steps[] = {
            {true, "7F", "sync", false},
            {false, "79", "ACK (sync)", false},
            {true, "00 FF", "command Get (0x00)", false},
            {false, "79 0B 22 00 01 02 11", "ACK (Get); answer, 6 bytes so far", false},
            {false, "21 31 43 63 73 82 92 79", "Get answer: bootloader 2.2, 11 commands; ACK (Get)", false},
            {true, "02 FD", "command Get ID", false},
            {false, "79 01 04 10 79", "Get ID answer: product ID 0x0410; ACK (Get ID)", false},
            {true, "11 EE", "command Read Memory", false},
            {false, "79", "ACK (Read Memory)", false},
            {true, "1F FF F7 E0 F7", "Read Memory address 0x1FFFF7E0, checksum good", false},
            {false, "79", "ACK", false},
            {true, "03 FC", "Read Memory length 4 bytes", false},
            {false, "79 80 00 FF FF", "ACK (Read Memory); Read Memory data, 4 bytes", false},
            {true, "43 BC", "command Erase", false},
            {false, "79", "ACK (Erase)", false},
            {true, "01 00 01 00", "erase 2 pages, 0 ... 1, checksum good", false},
            {false, "79", "ACK (Erase)", false},
            {true, "31 CE", "command Write Memory", false},
            {false, "79", "ACK (Write Memory)", false},
            {true, "08 00 00 00 08", "Write Memory address 0x08000000, checksum good", false},
            {false, "79", "ACK", false},
            {true, "03", "data block of 4 bytes, 1 of 6 bytes so far", false},
            {true, "7F 01 02 03", "data block continues, 5 of 6", false},
            {true, "7C", "checksum good", false},
            {false, "1F", "NACK (Write Memory)", true},
            {true, "31 CE", "command Write Memory", false},
            {false, "55 79", "1 stray byte; ACK (Write Memory)", true},
        };
        BootDecoder d;
        for (const Step &s : steps) {
            TraceLine line;
            line.bytes = Hex(s.bytes);
            if (s.host)
                d.Sent(int32_t(line.bytes.size()), line);
            else
                d.Received(line);
            QVERIFY2(QString::fromStdString(line.text).contains(s.says),
                     qPrintable(QString("%1: %2").arg(s.bytes, QString::fromStdString(line.text))));
            QCOMPARE(line.failed, s.failed);
        }
    }

    // talvex-cli through an echoing line with noise before every reply and every
    // second reply's CRC spoiled: each chunk told as the module's own log says.
    void cliTraceMatchesTheModulesLog()
    {
        constexpr uint32_t kNoise = 3;
        talvex::sim::SimOptions options;
        options.com = 2;
        options.echo = true;
        options.faults.noiseBytes = kNoise;
        options.faults.corruptEvery = 2;
        QTemporaryDir logs;
        options.logPath = (logs.path() + "/sim.log").toStdString();
        SimFixture sim(options);
        const QString trace = logs.path() + "/trace";
        const Result r = RunCli({"-p", "COM2", "--trace", trace, "watch", "-n", "4"}, {});
        QVERIFY2(r.status == 0, qPrintable(Describe(r)));

        QFile f(trace);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QList<Line> lines = ParseTrace(QString::fromUtf8(f.readAll()));
        // The module's log: the request it took, its note on the faults, the bytes it sent.
        struct Reply {
            std::vector<uint8_t> request, sent;
            bool spoiled = false;
        };
        QList<Reply> replies;
        for (const SimEvent &e : ParseSimLog(QString::fromStdString(options.logPath))) {
            if (e.kind == "rx")
                replies.append({e.bytes, {}, false});
            else if (e.kind == "--" && !replies.isEmpty() && e.note.startsWith("fault:"))
                replies.last().spoiled = e.note.contains("bad CRC");
            else if (e.kind == "tx" && !replies.isEmpty())
                replies.last().sent = e.bytes;
        }
        // The trace's exchanges: a request and the chunks after it.
        struct Exchange {
            std::vector<uint8_t> request, received;
            QString says;
        };
        QList<Exchange> exchanges;
        for (const Line &l : lines) {
            if (l.direction == "tx") {
                exchanges.append({l.bytes, {}, {}});
            } else {
                QVERIFY(!exchanges.isEmpty());
                exchanges.last().received.insert(exchanges.last().received.end(), l.bytes.begin(), l.bytes.end());
                exchanges.last().says += l.text + "; ";
            }
        }
        QVERIFY2(exchanges.size() >= 6, qPrintable(QString::number(exchanges.size())));
        // The last request may still have been on its way when the run ended.
        QVERIFY(replies.size() >= exchanges.size() - 1);
        int spoiled = 0;
        for (int i = 0; i < exchanges.size() - 1; ++i) {
            const Exchange &x = exchanges[i];
            const Reply &m = replies[i];
            QCOMPARE(HexText(x.request), HexText(m.request));
            QCOMPARE(HexText(x.received), HexText(Cat({m.request, m.sent})));
            QVERIFY2(x.says.contains("echo of the request"), qPrintable(x.says));
            QVERIFY2(StrayCount(x.says) == int(kNoise), qPrintable(x.says));
            QVERIFY2(x.says.contains(m.spoiled ? "CRC bad" : "CRC good"), qPrintable(x.says));
            QVERIFY2(!x.says.contains(m.spoiled ? "CRC good" : "CRC bad"), qPrintable(x.says));
            spoiled += m.spoiled;
        }
        QVERIFY(spoiled >= 2);
    }

    // A whole update: the trace names every command, in the order the chip took them.
    void flashTraceNamesEveryCommand()
    {
        talvex::sim::SimOptions options;
        options.com = 2;
        QTemporaryDir logs;
        options.logPath = (logs.path() + "/sim.log").toStdString();
        SimFixture sim(options);
        const QString trace = logs.path() + "/trace";
        const Result r = RunCli({"-p", "COM2", "--trace", trace, "flash"}, {}, 120000);
        QVERIFY2(r.status == 0, qPrintable(Describe(r)));
        QFile f(trace);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QList<Line> lines = ParseTrace(QString::fromUtf8(f.readAll()));

        QStringList named;
        std::vector<uint8_t> sent;
        for (const Line &l : lines) {
            QVERIFY2(!l.text.contains("stray") && !l.text.contains("NACK") && !l.text.contains("bad"),
                     qPrintable(l.text));
            if (l.direction != "tx")
                continue;
            sent.insert(sent.end(), l.bytes.begin(), l.bytes.end());
            if (l.text == "sync")
                named << "sync";
            else if (l.text.startsWith("command "))
                named << l.text.mid(8).section(" (", 0, 0);
        }
        qint64 size = 0;
        QVERIFY(CarriedFirmwareImageAcceptable(&size));
        const int blocks = int((size + 255) / 256);
        // Sync, identification, the flash size, the unique ID and the option bytes
        // (write protection), the erase, the blocks, then the read-back of every block.
        QStringList expected{"sync", "Get", "Get ID", "Read Memory", "Read Memory", "Read Memory", "Erase"};
        for (int i = 0; i < blocks; ++i)
            expected << "Write Memory";
        for (int i = 0; i < blocks; ++i)
            expected << "Read Memory";
        QCOMPARE(named, expected);

        // And every byte the trace shows sent is what the chip's side received.
        std::vector<uint8_t> received;
        for (const SimEvent &e : ParseSimLog(QString::fromStdString(options.logPath)))
            if (e.kind == "rx")
                received.insert(received.end(), e.bytes.begin(), e.bytes.end());
        QCOMPARE(sent.size(), received.size());
        QVERIFY(sent == received);
    }

    void watchCsv_data()
    {
        QTest::addColumn<bool>("toFile");
        QTest::newRow("standard output") << false;
        QTest::newRow("file") << true;
    }
    // watch --csv: a header, then one row per read with a time stamp to the millisecond.
    void watchCsv()
    {
        QFETCH(bool, toFile);
        SimFixture sim;
        QTemporaryDir dir;
        qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());  // no engineering units of the user's
        const QString file = dir.path() + "/run.csv";
        QStringList args{"-p", "COM2", "watch", "-n", "5", "--csv"};
        if (toFile)
            args << file;
        const QDateTime before = QDateTime::currentDateTimeUtc();
        const Result r = RunCli(args, {});
        const QDateTime after = QDateTime::currentDateTimeUtc();
        QVERIFY2(r.status == 0, qPrintable(Describe(r)));
        QString csv = r.out;
        if (toFile) {
            QFile f(file);
            QVERIFY(f.open(QIODevice::ReadOnly));
            csv = QString::fromUtf8(f.readAll());
            QVERIFY2(r.out.contains("AD0"), qPrintable(r.out));  // the table as ever
        }
        const QStringList rows = csv.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(rows.size(), 6);
        QCOMPARE(rows[0], QString("time,AD0,AD1,AD2,AD3,AD4,AD5,AD6,AD7,DA0,DA1,DA2,DA3,G0,G1,G2,G3"));
        QDateTime last = before.addMSecs(-1);
        for (int i = 1; i < rows.size(); ++i) {
            const QStringList fields = rows[i].split(',');
            QCOMPARE(fields.size(), 17);
            QVERIFY2(
                QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$").match(fields[0]).hasMatch(),
                qPrintable(fields[0]));
            const QDateTime t = QDateTime::fromString(fields[0], Qt::ISODateWithMs);
            QVERIFY(t >= last && t <= after);
            last = t;
            for (int c = 13; c < 17; ++c)
                QCOMPARE(fields[c], QString("100"));  // the gains at power-up
        }
    }
};

QTEST_GUILESS_MAIN(TestTrace)
#include "tst_trace.moc"
