// talvex-cli's refusals of its arguments, in process: each is refused before
// anything is opened, so the process's exit status 2 follows from the refusal
// here (tst_cli runs a few of them as a process against a line).
#include "app/cli/Options.h"
#include "app/cli/Output.h"
#include "app/cli/Port.h"
#include "firmware/ImageFile.h"
#include "modbus/SettingTexts.h"

#include <QtTest>

#include <cstdio>

using talvex::cli::Options;
using talvex::cli::Output;
using talvex::cli::ParseArguments;
using talvex::cli::PortTarget;
using talvex::cli::ResolvePort;

// The step that refuses a row: the parser, or the check run on what it accepted.
enum class RefusedBy { Parser, Port, Log, Image };
Q_DECLARE_METATYPE(RefusedBy)

class TestCliArgs : public QObject {
    Q_OBJECT

    QTemporaryDir files;

    QString makeFile(const QString &name, qsizetype size)
    {
        const QString path = files.filePath(name);
        QFile f(path);
        if (f.open(QIODevice::WriteOnly))
            f.write(QByteArray(size, '\x5A'));
        return path;
    }

private slots:
    void badArgumentsAreRefused_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<RefusedBy>("refusedBy");
        const RefusedBy parser = RefusedBy::Parser;
        QTest::newRow("no command") << QStringList{} << parser;
        QTest::newRow("unknown command") << QStringList{"erase"} << parser;
        QTest::newRow("option without its value") << QStringList{"info", "-a"} << parser;
        QTest::newRow("station 0") << QStringList{"-a", "0", "info"} << parser;
        QTest::newRow("station 100") << QStringList{"--station", "100", "info"} << parser;
        QTest::newRow("station not a number") << QStringList{"-a", "one", "info"} << parser;
        QTest::newRow("unknown mode") << QStringList{"-m", "can", "info"} << parser;
        QTest::newRow("COM9") << QStringList{"-p", "COM9", "info"} << RefusedBy::Port;
        QTest::newRow("read count 0") << QStringList{"read", "0", "0"} << parser;
        QTest::newRow("read count 102") << QStringList{"read", "0", "102"} << parser;
        QTest::newRow("read first past a word") << QStringList{"read", "65536", "1"} << parser;
        QTest::newRow("read running past a word") << QStringList{"read", "65500", "40"} << parser;
        QTest::newRow("read past the gateway's range") << QStringList{"-m", "plc-can", "read", "63336", "1"} << parser;
        QTest::newRow("read with a third number") << QStringList{"read", "0", "4", "5"} << parser;
        QTest::newRow("write without a value") << QStringList{"write", "12"} << parser;
        QTest::newRow("write value 65536") << QStringList{"write", "12", "65536"} << parser;
        QTest::newRow("write negative value") << QStringList{"write", "12", "-1"} << parser;
        QTest::newRow("write register -1") << QStringList{"write", "-1", "5"} << parser;
        QTest::newRow("write value not a number") << QStringList{"write", "12", "12a"} << parser;
        QTest::newRow("watch interval 0") << QStringList{"watch", "-i", "0"} << parser;
        QTest::newRow("watch count 0") << QStringList{"watch", "-n", "0"} << parser;
        QTest::newRow("watch option given to read") << QStringList{"read", "-n", "3"} << parser;
        QTest::newRow("configure station 0") << QStringList{"configure", "--station", "0"} << parser;
        QTest::newRow("configure station 100") << QStringList{"configure", "--station", "100"} << parser;
        QTest::newRow("configure suppression 0") << QStringList{"configure", "--suppress", "0"} << parser;
        QTest::newRow("configure suppression 10000") << QStringList{"configure", "--suppress", "10000"} << parser;
        QTest::newRow("configure filter 10") << QStringList{"configure", "--filter", "10"} << parser;
        QTest::newRow("configure unknown CAN rate") << QStringList{"configure", "--can-baud", "12K"} << parser;
        QTest::newRow("configure unknown RS-485 rate") << QStringList{"configure", "--rs485-baud", "115200"} << parser;
        QTest::newRow("configure unknown format") << QStringList{"configure", "--rs485-format", "7E1"} << parser;
        QTest::newRow("flag given a value") << QStringList{"--json=yes", "info"} << parser;
        QTest::newRow("image of 0 bytes")
            << QStringList{"flash", "--image", makeFile("empty.bin", 0)} << RefusedBy::Image;
        // Refused by flash, which records the refusal with the image it names.
        QTest::newRow("image missing") << QStringList{"flash", "--image", files.filePath("none.bin")}
                                       << RefusedBy::Image;
        QTest::newRow("flash without its image path") << QStringList{"flash", "--image"} << parser;
        QTest::newRow("-a after configure") << QStringList{"configure", "-a", "3", "--filter", "2"} << parser;
        QTest::newRow("-a after the command word") << QStringList{"info", "-a", "3"} << parser;
        QTest::newRow("watch faster than the poll") << QStringList{"watch", "-i", "59"} << parser;
        QTest::newRow("unknown boot entry") << QStringList{"flash", "--boot-entry", "rts-only"} << parser;
        QTest::newRow("--no-verify given to read") << QStringList{"read", "--no-verify"} << parser;
        QTest::newRow("log without its file") << QStringList{"info", "--log"} << parser;
        QTest::newRow("port given twice") << QStringList{"-p", "COM2", "info", "--port", "COM3"} << parser;
        QTest::newRow("filter given twice") << QStringList{"configure", "--filter", "2", "--filter", "3"} << parser;
        QTest::newRow("station given twice") << QStringList{"-a", "2", "--station", "3", "info"} << parser;
        QTest::newRow("image given twice")
            << QStringList{"flash", "--image", makeFile("a.bin", 8), "--image", makeFile("b.bin", 8)} << parser;
        QTest::newRow("-a for flash") << QStringList{"-a", "3", "flash"} << parser;
        QTest::newRow("-m for flash") << QStringList{"-m", "pc-uart", "flash"} << parser;
        QTest::newRow("--echo for flash") << QStringList{"flash", "--echo", "off"} << parser;
        QTest::newRow("-a for read-flash") << QStringList{"-a", "1", "read-flash", "out.bin"} << parser;
        QTest::newRow("-p for ports") << QStringList{"-p", "COM2", "ports"} << parser;
        QTest::newRow("-a for doctor") << QStringList{"-a", "3", "doctor"} << parser;
        QTest::newRow("--echo for doctor") << QStringList{"doctor", "--echo", "on"} << parser;
        QTest::newRow("--lines for doctor") << QStringList{"--lines", "inverted", "doctor"} << parser;
        QTest::newRow("configure without a setting") << QStringList{"configure"} << parser;
        QTest::newRow("--address without an image") << QStringList{"flash", "--address", "0x08004000"} << parser;
        QTest::newRow("--address inside a page")
            << QStringList{"flash", "--image", makeFile("c.bin", 8), "--address", "0x08004100"} << parser;
        QTest::newRow("--address below the flash")
            << QStringList{"flash", "--image", makeFile("d.bin", 8), "--address", "0x07FFFC00"} << parser;
        QTest::newRow("--length given to flash") << QStringList{"flash", "--length", "16"} << parser;
        QTest::newRow("read-flash without its file") << QStringList{"read-flash"} << parser;
        QTest::newRow("read-flash length 0") << QStringList{"read-flash", "out.bin", "--length", "0"} << parser;
        QTest::newRow("log that cannot be opened")
            << QStringList{"--log", "/nonexistent/dir/line.log", "info"} << RefusedBy::Log;
    }
    void badArgumentsAreRefused()
    {
        QFETCH(QStringList, args);
        QFETCH(RefusedBy, refusedBy);
        Options o;
        QString error;
        // A row that names the port itself is judged as given.
        const bool ownPort = args.contains("-p") || args.contains("--port");
        const bool parsed = ParseArguments((ownPort ? QStringList{} : QStringList{"-p", "COM1"}) + args, o, error);
        if (refusedBy == RefusedBy::Parser) {
            QVERIFY(!parsed);
            QVERIFY(!error.isEmpty());
            return;
        }
        // The rest pass the parser and are refused by the check that follows it.
        QVERIFY2(parsed, qPrintable(error));
        switch (refusedBy) {
        case RefusedBy::Port: {
            PortTarget port;
            QVERIFY(!ResolvePort(o.port, port));
            break;
        }
        case RefusedBy::Log: {
            std::FILE *sink = std::tmpfile();
            QVERIFY(sink);
            {
                Output out(false, true, sink, sink);
                QVERIFY(!out.openLog(o.logPath, error));
            }
            std::fclose(sink);
            QVERIFY(error.startsWith("--log: cannot append to"));
            break;
        }
        case RefusedBy::Image: {
            ImageFile image;
            QVERIFY(!ReadImageFile(o.image, image, error));
            QVERIFY(!error.isEmpty());
            break;
        }
        case RefusedBy::Parser:
            break;
        }
    }

    // What the refusals above must not catch: an option repeated with the same
    // value, the options each command uses, and what read-flash and --address take.
    // The parser's own English complaints, reworded into the program's words.
    void parserComplaintsInTheProgramsWords_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("said");
        QTest::newRow("a value missing") << QStringList{"-p", "COM1", "info", "-a"} << "option -a needs a value";
        QTest::newRow("a value to an option without one")
            << QStringList{"-p", "COM1", "info", "--json=yes"} << "option --json takes no value";
    }
    void parserComplaintsInTheProgramsWords()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, said);
        Options o;
        QString error;
        QVERIFY(!ParseArguments(args, o, error));
        QCOMPARE(error, said);
    }

    void acceptedArguments_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("port twice, same value") << QStringList{"-p", "COM2", "info", "-p", "COM2"};
        QTest::newRow("filter twice, same value") << QStringList{"configure", "--filter", "2", "--filter", "2"};
        QTest::newRow("flash with port, log and json") << QStringList{"-p", "COM2", "--json", "--log", "x", "flash"};
        QTest::newRow("ports") << QStringList{"--json", "ports"};
        QTest::newRow("ports, --json after the word") << QStringList{"ports", "--json"};
        QTest::newRow("doctor") << QStringList{"doctor"};
        QTest::newRow("doctor on a port") << QStringList{"-p", "COM3", "doctor", "--json"};
        QTest::newRow("read-flash") << QStringList{"-p",         "COM2",     "read-flash", "out.bin",   "--address",
                                                   "0x08004000", "--length", "0x400",      "--any-chip"};
        QTest::newRow("flash at an address")
            << QStringList{"flash", "--image", makeFile("e.bin", 8), "--address", "0x08004000", "--any-chip"};
    }
    void acceptedArguments()
    {
        QFETCH(QStringList, args);
        Options o;
        QString error;
        QVERIFY2(ParseArguments(args, o, error), qPrintable(error));
        if (o.command == talvex::cli::Command::ReadFlash) {
            QCOMPARE(o.outFile, QString("out.bin"));
            QCOMPARE(o.address, std::optional<uint32_t>(0x08004000));
            QCOMPARE(o.length, std::optional<int>(0x400));
            QVERIFY(o.anyChip);
        }
        if (o.command == talvex::cli::Command::Flash && !o.image.isEmpty()) {
            QCOMPARE(o.address, std::optional<uint32_t>(0x08004000));
            QVERIFY(o.anyChip);
        }
    }

    // Every value a setting may hold, written as info lists it (a list's text, a
    // number) and a level also by its number, comes back as that value; one
    // past either end of a range is refused.
    void everySettingValueIsTakenBack_data()
    {
        QTest::addColumn<int>("setting");  // index into kModuleSettings
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("value");  // -1: refused
        for (int i = 0; i < kModuleSettingCount; ++i) {
            const TSettingRow &row = kModuleSettings[size_t(i)];
            const auto add = [&](const QString &text, int value) {
                QTest::addRow("--%s %s", row.Name, qPrintable(text)) << i << text << value;
            };
            if (row.IsList()) {
                for (int v = row.Lowest(); v <= row.Highest(); ++v)
                    add(SettingText(row, v), v);
            }
            if (row.Kind != TSettingKind::List) {
                add(QString::number(row.Lowest()), row.Lowest());
                add(QString::number(row.Highest()), row.Highest());
                add(QString::number(row.Highest() + 1), -1);
                if (row.Lowest() > 0)
                    add(QString::number(row.Lowest() - 1), -1);
            }
        }
    }
    void everySettingValueIsTakenBack()
    {
        QFETCH(int, setting);
        QFETCH(QString, text);
        QFETCH(int, value);
        const QString option = QStringLiteral("--") + QString::fromLatin1(kModuleSettings[size_t(setting)].Name);
        Options o;
        QString error;
        const bool parsed = ParseArguments({"configure", option, text}, o, error);
        QCOMPARE(parsed, value >= 0);
        if (!parsed)
            return;
        for (int i = 0; i < kModuleSettingCount; ++i)
            QCOMPARE(o.config.values[size_t(i)], i == setting ? std::optional<int>(value) : std::nullopt);
    }

    // The reasons, word for word; of two bad values the number's is given.
    void configureRefusalsSayWhy_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("error");
        QTest::newRow("station out of range")
            << QStringList{"--station", "0"} << R"(--station: 0 is out of range (1 ... 99))";
        QTest::newRow("suppression not a number")
            << QStringList{"--suppress", "x"} << R"(--suppress: "x" is not a number)";
        QTest::newRow("filter level 10") << QStringList{"--filter", "10"}
                                         << R"(--filter: "10" is not a filter level (0 ... 9))";
        QTest::newRow("CAN rate") << QStringList{"--can-baud", "12K"}
                                  << R"(--can-baud: "12K" is not one of "10K", "20K", "50K", "100K", "125K", )"
                                     R"("250K", "500K", "1000K")";
        QTest::newRow("RS-485 format") << QStringList{"--rs485-format", "7E1"}
                                       << R"(--rs485-format: "7E1" is not one of "8 N 1", "8 O 1", "8 E 1")";
        QTest::newRow("a list and a number") << QStringList{"--rs485-baud", "1", "--suppress", "10000"}
                                             << R"(--suppress: 10000 is out of range (1 ... 9999))";
        QTest::newRow("a list and the level")
            << QStringList{"--rs485-baud", "1", "--filter", "x"} << R"(--filter: "x" is not a filter level (0 ... 9))";
    }
    void configureRefusalsSayWhy()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, error);
        Options o;
        QString said;
        QVERIFY(!ParseArguments(QStringList{"configure"} + args, o, said));
        QCOMPARE(said, error);
    }
};

QTEST_GUILESS_MAIN(TestCliArgs)
#include "tst_cli_args.moc"
