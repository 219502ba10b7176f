// Boards changing on the simulated fixture: each chip's unique ID read out by its
// bootloader, a board taken away (silence at every speed) and a new one put on
// (its own ID, nothing stored, older firmware), in-process and through talvex-sim.
#include "modbus/MODBUS_RTU.h"
#include "modbus/RegisterMap.h"
#include "serial/Clock.h"
#include "serial/QRT_ComDrv.h"
#include "sim/BoardIdentity.h"
#include "sim/Simulator.h"
#include "tests/support/Bytes.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/SimFixture.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <filesystem>

using namespace talvex::sim;

namespace {

constexpr int kCom = 3;
constexpr int kAnswerMs = 1000;  // generous: a loaded machine may be slow, never the chip early
constexpr int kSilenceMs = 300;  // longer than any answer the board would give
constexpr int kStartMs = 5000;   // talvex-sim up and answering its standard input
constexpr uint8_t kAck = 0x79;
constexpr uint8_t kSync = 0x7F;
constexpr uint8_t kReadMemory = 0x11;
constexpr uint32_t kUniqueIdAddress = 0x1FFFF7E8;

const char *const kFirstId = "0123456789ABCDEF00112233";
const char *const kSecondId = "0123456789ABCDEF00112234";  // the one after it

// The tool's end of the fixture's line, at either of its speeds.
struct Line {
    TQRTCommDriver drv;

    explicit Line(int com)
    {
        drv.SetComPort(static_cast<TComPortNumber>(com - 1));
        drv.SetComPortParity(ptEVEN);
    }

    bool openAt(TComPortBaudRate speed)
    {
        drv.Close();
        drv.SetComPortSpeed(speed);
        SetModbusLink({&drv, [] { return 1; }, [] { return TLinkMode::PcUart; }});
        return drv.Open();
    }

    // Sends `out`; what came back once `expected` bytes are in or `ms` have passed.
    Bytes exchange(const Bytes &out, size_t expected, int ms = kAnswerMs)
    {
        drv.RxCount = 0;
        drv.SendData(out.data(), int32_t(out.size()));
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms && drv.RxCount < expected) {
            SleepMs(2);
            drv.PollReceive();
        }
        return Bytes(drv.RxBuffer, drv.RxBuffer + drv.RxCount);
    }

    // Sync, then Read Memory of the 12 bytes at the unique-ID address; empty when
    // the chip does not answer its sync.
    QString readUniqueId()
    {
        if (!openAt(br115200))
            return "port";
        if (exchange({kSync}, 1) != Bytes{kAck})
            return {};
        if (exchange({kReadMemory, uint8_t(~kReadMemory)}, 1) != Bytes{kAck})
            return "read refused";
        Bytes address{0x1F, 0xFF, 0xF7, 0xE8};
        address.push_back(address[0] ^ address[1] ^ address[2] ^ address[3]);
        static_assert(kUniqueIdAddress == 0x1FFFF7E8);
        if (exchange(address, 1) != Bytes{kAck})
            return "address refused";
        const Bytes data = exchange({stm32::kUniqueIdBytes - 1, uint8_t(~(stm32::kUniqueIdBytes - 1))},
                                    1 + stm32::kUniqueIdBytes);
        if (data.size() != 1 + stm32::kUniqueIdBytes || data[0] != kAck)
            return "bad read";
        stm32::UniqueId id{};
        std::copy(data.begin() + 1, data.end(), id.begin());
        return QString::fromStdString(UniqueIdText(id));
    }

    // Registers 0 ... 31 at the module's line; false when nothing answers.
    bool readBlock(uint16_t *words, int ms = kAnswerMs)
    {
        if (!openAt(br57600))
            return false;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms)
            if (ReadRegistersOnce(0, 32, words))
                return true;
        return false;
    }

    // The configuration sequence, so that the module stores `station`.
    bool storeStation(uint16_t station)
    {
        if (!openAt(br57600))
            return false;
        bool ok = WriteRegister(Reg::Cfg_Unlock, kCfgUnlockCode) && WriteRegister(Reg::Cfg_Station, station);
        for (int r = Reg::Cfg_Station + 1; ok && r <= Reg::Cfg_Dat485; ++r)
            ok = WriteRegister(r, 1);
        return ok && WriteRegister(Reg::Cfg_Commit, kCfgCommitCode);
    }
};

bool WaitFor(const std::function<bool()> &condition, int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms && !condition())
        SleepMs(5);
    return condition();
}

SimOptions WithId(const char *hex)
{
    SimOptions o;
    o.com = kCom;
    if (hex)
        ParseUniqueId(hex, o.uniqueId);
    return o;
}

}  // namespace

class TestSimBoards : public QObject {
    Q_OBJECT

private slots:
    void uniqueIdText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("taken");
        QTest::addColumn<QString>("next");
        QTest::newRow("upper") << kFirstId << true << kSecondId;
        QTest::newRow("lower") << "0123456789abcdef00112233" << true << kSecondId;
        QTest::newRow("carry") << "0000000000000000000000FF" << true << "000000000000000000000100";
        QTest::newRow("wraps") << "FFFFFFFFFFFFFFFFFFFFFFFF" << true << "000000000000000000000000";
        QTest::newRow("short") << "0123456789ABCDEF0011223" << false << "";
        QTest::newRow("long") << "0123456789ABCDEF001122334" << false << "";
        QTest::newRow("not hex") << "0123456789ABCDEF0011223G" << false << "";
        QTest::newRow("blank") << "" << false << "";
    }

    void uniqueIdText()
    {
        QFETCH(QString, text);
        QFETCH(bool, taken);
        QFETCH(QString, next);
        stm32::UniqueId id = stm32::kDefaultUniqueId;
        QCOMPARE(ParseUniqueId(text.toStdString(), id), taken);
        if (!taken) {
            QCOMPARE(id, stm32::kDefaultUniqueId);  // left alone
            return;
        }
        QCOMPARE(QString::fromStdString(UniqueIdText(id)), text.toUpper());
        QCOMPARE(QString::fromStdString(UniqueIdText(NextUniqueId(id))), next);
    }

    // Each simulator's chip hands out its own ID; without one, the chip's default.
    void bootloaderReadsOutTheUniqueId_data()
    {
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("read");
        QTest::newRow("given") << kFirstId << kFirstId;
        QTest::newRow("default") << QString() << "54414C564558000120240615";
    }

    void bootloaderReadsOutTheUniqueId()
    {
        QFETCH(QString, given);
        QFETCH(QString, read);
        const QByteArray hex = given.toLatin1();
        SimFixture sim(WithId(given.isEmpty() ? nullptr : hex.constData()));
        Line line(kCom);
        QCOMPARE(line.readUniqueId(), read);
    }

    // The board taken away leaves the line silent at both speeds; the new one put
    // on answers with the next ID, no stored settings and older firmware.
    void swapBringsANewBoard()
    {
        SimFixture sim(WithId(kFirstId));
        Line line(kCom);
        QVERIFY(line.storeStation(7));
        QVERIFY(WaitFor([&] { return std::filesystem::exists(sim->settingsPath()); }, kAnswerMs));
        uint16_t words[32] = {};
        QVERIFY(line.readBlock(words));
        QCOMPARE(int(words[Reg::FW_Version]), int(kImageFirmwareVersion));

        sim->removeBoard();
        QVERIFY(!sim->boardPresent());
        QVERIFY(!line.readBlock(words, kSilenceMs));
        QVERIFY(line.openAt(br115200));
        QCOMPARE(line.exchange({kSync}, 1, kSilenceMs), Bytes{});

        QCOMPARE(QString::fromStdString(UniqueIdText(sim->insertBoard())), QString(kSecondId));
        QVERIFY(sim->boardPresent());
        QVERIFY(!std::filesystem::exists(sim->settingsPath()));
        QVERIFY(line.readBlock(words));
        QCOMPARE(int(words[Reg::FW_Version]), int(StockFirmwareVersion(kImageFirmwareVersion)));
        QVERIFY(words[Reg::FW_Version] < kImageFirmwareVersion);
        QCOMPARE(int(words[Reg::Cfg_Station]), int(ModuleDefault::Station));
        QCOMPARE(line.readUniqueId(), QString(kSecondId));

        // A board of a given ID; a board left alone keeps its ID over a restart.
        const QByteArray given = "AA00000000000000000000BB";
        stm32::UniqueId id{};
        QVERIFY(ParseUniqueId(given.toStdString(), id));
        sim->insertBoard(id);
        sim->powerCycle();
        QCOMPARE(line.readUniqueId(), QString(given));
    }

    // A new board is a new chip: whatever the last one was left with (its flash,
    // its protection, a fault) is not on it.
    void newBoardIsAFreshChip()
    {
        SimFixture sim(WithId(kFirstId));
        sim->withBootloader([](BootloaderPersonality &b) {
            b.chip().preloadFlash(0x08000000, Bytes(64, 0x00));
            b.chip().setReadProtected(true);
            Stm32Faults f;
            f.unansweredSyncs = Stm32Faults::kForever;
            b.chip().setFaults(f);
        });
        Line line(kCom);
        QCOMPARE(line.readUniqueId(), QString());  // the sync is never answered
        sim->removeBoard();
        sim->insertBoard();
        bool fresh = false;
        sim->withBootloader([&](BootloaderPersonality &b) {
            fresh = !b.chip().readProtected() && b.chip().flash()[0] == 0xFF && b.chip().faults().unansweredSyncs == 0;
        });
        QVERIFY(fresh);
        QCOMPARE(line.readUniqueId(), QString(kSecondId));
    }

    void commands_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("answer");  // a prefix of it
        QTest::newRow("remove") << "remove"
                                << "ok";
        QTest::newRow("insert next") << "insert"
                                     << "ok " + QString(kSecondId);
        QTest::newRow("insert given") << "insert 00000000000000000000ABCD"
                                      << "ok 00000000000000000000ABCD";
        QTest::newRow("insert bad") << "insert 12"
                                    << "error: insert [HEX]";
    }

    void commands()
    {
        QFETCH(QString, command);
        QFETCH(QString, answer);
        SimFixture sim(WithId(kFirstId));
        const QString got = QString::fromStdString(sim->command(command.toStdString()));
        QVERIFY2(got.startsWith(answer), qPrintable(got));
        const QString status = QString::fromStdString(sim->command("status"));
        if (command == "remove")
            QVERIFY2(status.endsWith("no board on the fixture"), qPrintable(status));
        else if (answer.startsWith("ok "))
            QVERIFY2(status.endsWith("unique ID " + answer.mid(3)), qPrintable(status));
        else
            QVERIFY2(status.endsWith(QString("unique ID ") + kFirstId), qPrintable(status));
    }

    // The program: --uid on its command line, the swap on its standard input.
    void programTakesUidAndSwaps()
    {
        QTemporaryDir dir;
        QProcess bad;
        bad.start(TALVEX_SIM_EXE, {"--port-dir", dir.path(), "--uid", "12345"});
        QVERIFY(bad.waitForFinished(kStartMs));
        QCOMPARE(bad.exitCode(), 2);
        QVERIFY(bad.readAllStandardError().contains("--uid needs the chip's unique ID as 24 hex digits"));

        QProcess sim;
        EndWithParent(sim);
        sim.start(TALVEX_SIM_EXE, {"--port-dir", dir.path(), "--com", QString::number(kCom), "--state-dir",
                                   dir.path() + "/state", "--uid", kFirstId});
        QVERIFY(sim.waitForReadyRead(kStartMs));
        sim.readAllStandardOutput();
        qputenv("TALVEX_PORT_DIR", dir.path().toLocal8Bit());
        Line line(kCom);
        QCOMPARE(line.readUniqueId(), QString(kFirstId));
        const auto ask = [&](const QByteArray &command) {
            sim.write(command + "\n");
            QElapsedTimer t;
            t.start();
            while (!sim.canReadLine() && t.elapsed() < kStartMs)
                sim.waitForReadyRead(100);
            return QString::fromUtf8(sim.readLine()).trimmed();
        };
        QCOMPARE(ask("remove"), QString("ok"));
        QCOMPARE(line.readUniqueId(), QString());
        QCOMPARE(ask("insert"), "ok " + QString(kSecondId));
        QCOMPARE(line.readUniqueId(), QString(kSecondId));
        sim.terminate();
        QVERIFY(sim.waitForFinished(kStartMs));
    }
};

QTEST_GUILESS_MAIN(TestSimBoards)
#include "tst_sim_boards.moc"
