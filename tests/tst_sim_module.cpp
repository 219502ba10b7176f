// The simulated module's rules driven step by step with a hand-made clock: no pty, no waiting.
#include "modbus/Frames.h"
#include "sim/BootloaderPersonality.h"
#include "sim/InputFilter.h"
#include "sim/ModbusRtuPersonality.h"
#include "sim/ModuleCore.h"
#include "sim/ModulePortTarget.h"
#include "sim/PlcGateway.h"
#include "sim/SettingsStore.h"
#include "tests/support/ModbusBytes.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace talvex::sim;

namespace {

// Feeds chunks to a fresh fixed-port service at the given times; returns what it answered.
std::vector<Bytes> Serve(ModuleCore &module, const std::vector<std::pair<uint64_t, Bytes>> &chunks)
{
    ModulePortTarget port(module, ModulePort::Fixed);
    ModbusRtuPersonality rtu(&port, kFixedPortBaud);
    std::vector<Bytes> answers;
    for (const auto &[t, bytes] : chunks) {
        std::vector<LineReply> out;
        rtu.receive(bytes.data(), bytes.size(), t, out);
        for (LineReply &r : out) {
            r.sent();
            answers.push_back(r.bytes);
        }
        if (rtu.pendingBytes() > ModbusRtuPersonality::kMaxPending)
            qFatal("receive buffer grew past its bound");
    }
    return answers;
}

}  // namespace

class TestSimModule : public QObject {
    Q_OBJECT

private slots:
    void filter_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("expected");
        // Conversions 1, 2, ..., count arrive in a scrambled order; the filter sorts.
        QTest::newRow("level 0: latest") << 0 << 5 << -1;
        QTest::newRow("level 1: middle 4 of 8") << 1 << 8 << (3 + 4 + 5 + 6) / 4;
        QTest::newRow("level 1: only the last 8 count") << 1 << 16 << (11 + 12 + 13 + 14) / 4;
        QTest::newRow("level 9: middle 36 of 72") << 9 << 72 << (19 + 54) * 36 / 2 / 36;
        QTest::newRow("level 9, outliers dropped") << 9 << 100 << (47 + 82) * 36 / 2 / 36;
    }

    void filter()
    {
        QFETCH(int, level);
        QFETCH(int, count);
        QFETCH(int, expected);
        InputFilter f;
        // Each group of 8 is added in the order 8, 1, 7, 2, 6, 3, 5, 4 (scrambled, same set).
        std::vector<uint16_t> values;
        for (int base = 0; base < count; base += 8) {
            static const int kOrder[8] = {7, 0, 6, 1, 5, 2, 4, 3};
            for (int k : kOrder)
                if (base + k < count)
                    values.push_back(static_cast<uint16_t>(base + k + 1));
        }
        for (uint16_t v : values)
            f.add(v);
        QCOMPARE(int(f.value(level)), expected < 0 ? int(values.back()) : expected);
    }

    void serialService_data()
    {
        QTest::addColumn<Bytes>("line");
        QTest::addColumn<int>("replies");
        QTest::addColumn<Bytes>("firstReply");  // empty: only the count is checked
        const Bytes read = Frame(1, 3, 0, 32);
        const Bytes write = Frame(1, 6, 10, 100);
        Bytes badCrc = write;
        badCrc[7] ^= 0x01;
        QTest::newRow("write: exact echo") << write << 1 << write;
        QTest::newRow("known write bytes") << Bytes{0x01, 0x06, 0x00, 0x0A, 0x00, 0x64, 0xA8, 0x23} << 1
                                           << Bytes{0x01, 0x06, 0x00, 0x0A, 0x00, 0x64, 0xA8, 0x23};
        QTest::newRow("read 32") << read << 1 << Bytes{};
        QTest::newRow("other station") << Frame(2, 3, 0, 32) << 0 << Bytes{};
        QTest::newRow("station 0") << Frame(0, 6, 10, 5) << 0 << Bytes{};
        QTest::newRow("bad CRC") << badCrc << 0 << Bytes{};
        QTest::newRow("function 4") << Frame(1, 4, 0, 2) << 0 << Bytes{};
        QTest::newRow("function 16 header") << Frame(1, 16, 10, 1) << 0 << Bytes{};
        QTest::newRow("read count 0") << Frame(1, 3, 0, 0) << 0 << Bytes{};
        QTest::newRow("read count 126") << Frame(1, 3, 0, 126) << 0 << Bytes{};
        QTest::newRow("read count 125") << Frame(1, 3, 0, 125) << 1 << Bytes{};
        QTest::newRow("truncated frame") << Bytes(write.begin(), write.begin() + 7) << 0 << Bytes{};
        QTest::newRow("garbage, then a frame") << Cat({{0xFF, 0x00, 0x13, 0x01, 0x06}, write}) << 1 << write;
        QTest::newRow("bad frame, then a good one") << Cat({badCrc, write}) << 1 << write;
        QTest::newRow("two frames back to back") << Cat({write, read}) << 2 << write;
    }

    void serialService()
    {
        QFETCH(Bytes, line);
        QFETCH(int, replies);
        QFETCH(Bytes, firstReply);
        ModuleCore module;
        const auto answers = Serve(module, {{10, line}});
        QCOMPARE(int(answers.size()), replies);
        if (!firstReply.empty())
            QCOMPARE(answers.front(), firstReply);
        for (const Bytes &a : answers) {
            QVERIFY(CrcMatches(a.data(), a.size()));
            if (a[1] == kFnReadHoldingRegisters)
                QCOMPARE(a.size(), size_t{3} + a[2] + 2);
        }
        QCOMPARE(int(module.reg(kRegRepliesFixedPort)), replies);
    }

    void readReplyCarriesTheRegisters()
    {
        ModuleCore module;
        module.setReg(30, 0x1234);
        const auto answers = Serve(module, {{10, Frame(1, 3, 0, 32)}});
        QCOMPARE(int(answers.size()), 1);
        const Bytes &a = answers.front();
        QCOMPARE(a.size(), size_t{69});
        QCOMPARE(int(a[2]), 64);
        QCOMPARE(GetWordBE(&a[3 + 2 * 28]), kDefaultFirmwareVersion);
        QCOMPARE(GetWordBE(&a[3 + 2 * 14]), kPowerUpGain);
        QCOMPARE(GetWordBE(&a[3 + 2 * 30]), uint16_t(0x1234));
    }

    void addressesWrapAt500_data()
    {
        QTest::addColumn<int>("address");
        QTest::addColumn<int>("reg");
        QTest::newRow("510") << 510 << 10;
        QTest::newRow("2212: gateway address on a direct wire") << 2212 << 212;
        QTest::newRow("65535") << 65535 << 65535 % 500;
    }

    void addressesWrapAt500()
    {
        QFETCH(int, address);
        QFETCH(int, reg);
        ModuleCore module;
        const auto answers = Serve(module, {{10, Frame(1, 6, uint16_t(address), 4321)}});
        QCOMPARE(int(answers.size()), 1);
        QCOMPARE(int(module.reg(uint32_t(reg))), 4321);
        // A read that runs past 499 continues at 0.
        module.setReg(0, 0);
        const auto read = Serve(module, {{20, Frame(1, 3, 499, 2)}});
        QCOMPARE(GetWordBE(&read.front()[3]), module.reg(499));
        QCOMPARE(GetWordBE(&read.front()[5]), module.reg(0));
    }

    void byteGapDiscardsPartialFrame_data()
    {
        QTest::addColumn<int>("gapMs");
        QTest::addColumn<int>("replies");
        QTest::newRow("99 ms: one frame") << 99 << 1;
        QTest::newRow("100 ms: discarded") << 100 << 0;
    }

    void byteGapDiscardsPartialFrame()
    {
        QFETCH(int, gapMs);
        QFETCH(int, replies);
        ModuleCore module;
        const Bytes w = Frame(1, 6, 10, 7);
        const auto answers = Serve(
            module, {{1000, Bytes(w.begin(), w.begin() + 3)}, {1000 + uint64_t(gapMs), Bytes(w.begin() + 3, w.end())}});
        QCOMPARE(int(answers.size()), replies);
    }

    void floodThenFrame()
    {
        ModuleCore module;
        Bytes flood(20000);
        uint32_t x = 12345;
        for (uint8_t &b : flood) {
            x = x * 1103515245u + 12345u;
            b = static_cast<uint8_t>(x >> 24);
        }
        const Bytes w = Frame(1, 6, 11, 99);
        const auto answers = Serve(module, {{5, flood}, {6, w}});
        QVERIFY(!answers.empty());
        QCOMPARE(answers.back(), w);
        QCOMPARE(int(module.reg(11)), 99);
    }

    void commitRule_data()
    {
        QTest::addColumn<bool>("unlock");
        QTest::addColumn<bool>("commit");
        QTest::addColumn<bool>("stored");
        QTest::newRow("sequence stops before 27") << true << false << false;
        QTest::newRow("commit code alone") << false << true << false;
        QTest::newRow("unlock and commit") << true << true << true;
    }

    void commitRule()
    {
        QFETCH(bool, unlock);
        QFETCH(bool, commit);
        QFETCH(bool, stored);
        QTemporaryDir dir;
        const std::string path = dir.filePath("settings").toStdString();
        const StoredSettings written = {105, 9, 2, 250, 7, 4};
        {
            ModuleCore module{SettingsStore(path)};
            if (unlock)
                module.setReg(Reg::Cfg_Unlock, kCfgUnlockCode);
            for (int i = 0; i < kSettingsCount; ++i)
                module.setReg(kRegSettingsFirst + i, written[size_t(i)]);
            if (commit)
                module.setReg(Reg::Cfg_Commit, kCfgCommitCode);
            module.pass(1);
            QCOMPARE(module.reg(Reg::Cfg_Unlock) == 0 && module.reg(Reg::Cfg_Commit) == 0,
                     stored || (!unlock && !commit));
            QCOMPARE(module.hasStoredSettings(), stored);
            // Settings other than 24 and 25 do not act before a restart.
            QCOMPARE(int(module.applied().station), 1);
        }
        // A new process finds the record in the state file.
        ModuleCore restarted{SettingsStore(path)};
        for (int i = 0; i < kSettingsCount; ++i)
            QCOMPARE(restarted.reg(kRegSettingsFirst + i), stored ? written[size_t(i)] : kModuleDefaults[i]);
        const AppliedSettings &a = restarted.applied();
        QCOMPARE(int(a.station), stored ? 5 : 1);       // 105 modulo 100
        QCOMPARE(int(a.baudCanIndex), stored ? 1 : 6);  // 9 modulo 8
        QCOMPARE(int(a.baud485Index), stored ? 2 : 3);
        QCOMPARE(int(a.dat485Index), stored ? 1 : 2);  // 4 modulo 3
    }

    void damagedRecordMeansDefaults()
    {
        QTemporaryDir dir;
        const std::string path = dir.filePath("settings").toStdString();
        QVERIFY(SettingsStore(path).save({7, 1, 1, 50, 1, 1}));
        QVERIFY(SettingsStore(path).load().has_value());
        QFile f(QString::fromStdString(path));
        QVERIFY(f.open(QIODevice::ReadWrite));
        QByteArray text = f.readAll();
        text.replace("21 7", "21 8");
        f.seek(0);
        f.write(text);
        f.close();
        QVERIFY(!SettingsStore(path).load().has_value());
        ModuleCore module{SettingsStore(path)};
        QCOMPARE(int(module.reg(Reg::Cfg_Station)), int(kModuleDefaults[0]));
    }

    void filterLevelActsLive()
    {
        ModuleCore module;
        module.setReg(Reg::Cfg_Filter, 10);  // 10 modulo 10: no filter
        for (uint64_t t = 1; t <= 80; ++t)
            module.pass(t);
        for (int ch = 0; ch < Reg::AD_Count; ++ch) {
            QCOMPARE(module.reg(Reg::AD_Val0 + ch), module.reg(kRegRawInputFirst + ch));
            QVERIFY(module.reg(kRegRawInputFirst + ch) <= kAdcMax);
        }
    }

    void outputs_data()
    {
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("gain");
        QTest::addColumn<int>("steps");
        QTest::newRow("full scale") << 10000 << 100 << 40000;
        QTest::newRow("half gain") << 10000 << 50 << 20000;
        QTest::newRow("integer division") << 1 << 24 << 0;
        QTest::newRow("clamped") << 65535 << 65535 << 40000;
    }

    void outputs()
    {
        QFETCH(int, value);
        QFETCH(int, gain);
        QFETCH(int, steps);
        ModuleCore module;
        module.setReg(12, uint16_t(value));
        module.setReg(16, uint16_t(gain));
        module.pass(1);
        QCOMPARE(int(module.outputSteps(2)), steps);
    }

    void watchdog()
    {
        ModuleCore module;
        module.setWatchdogPeriodMs(1000);
        module.powerUp(0);
        module.setReg(10, 500);
        module.noteReplySent(ModulePort::Fixed);
        module.pass(1000);  // activity since start: outputs kept
        QCOMPARE(int(module.reg(10)), 500);
        module.pass(1999);
        QCOMPARE(int(module.reg(10)), 500);
        module.pass(2000);  // no reply in the last period
        QCOMPARE(int(module.reg(10)), 0);
        QCOMPARE(int(module.reg(14)), int(kPowerUpGain));
        module.setReg(10, 700);
        module.pass(2500);  // still forced on every pass
        QCOMPARE(int(module.reg(10)), 0);
        module.noteReplySent(ModulePort::Rs485);
        module.pass(3000);
        module.setReg(10, 700);
        module.pass(3001);
        QCOMPARE(int(module.reg(10)), 700);
        QCOMPARE(int(module.reg(kRegRepliesRs485Port)), 1);
    }

    void gatewayHeartbeatFeedsWatchdog()
    {
        ModuleCore module;
        module.setWatchdogPeriodMs(1500);
        module.powerUp(0);
        PlcGateway gw(module);
        gw.moduleRestarted(0);
        module.setReg(10, 300);
        for (uint64_t t = 1; t <= 4000; ++t) {
            module.pass(t);
            gw.tick(t);
        }
        QCOMPARE(int(module.reg(Reg::Link_Beat)), 4);
        QCOMPARE(int(module.reg(Reg::Link_Echo)), 5);
        QCOMPARE(int(module.reg(10)), 300);
        gw.setHeartbeat(false);
        for (uint64_t t = 4001; t <= 8000; ++t)
            module.pass(t);
        QCOMPARE(int(module.reg(10)), 0);
    }

    void canUnlock_data()
    {
        QTest::addColumn<int>("station");
        QTest::addColumn<int>("windowBase");
        QTest::newRow("station 1") << 1 << 2200;
        QTest::newRow("station 7 (7 mod 6 = 1)") << 7 << 2200;
        QTest::newRow("station 3") << 3 << 2240;
    }

    void canUnlock()
    {
        QFETCH(int, station);
        QFETCH(int, windowBase);
        ModuleCore module;
        module.setReg(Reg::Cfg_Station, uint16_t(station));
        module.setReg(Reg::Cfg_Unlock, kCfgUnlockCode);
        module.setReg(Reg::Cfg_Commit, kCfgCommitCode);
        module.pass(1);
        module.powerUp(2);
        QCOMPARE(module.windowBase(), windowBase);
        QVERIFY(!module.canWrite(uint32_t(windowBase + 20), 1));  // outside the window
        QVERIFY(module.canWrite(uint32_t(windowBase), kCanUnlockWord0));
        for (uint64_t t = 3; t < 40; ++t)
            module.pass(t);  // the conversions overwrite register 0 meanwhile
        QVERIFY(!module.fullAccess());
        QVERIFY(module.canWrite(uint32_t(windowBase + 1), kCanUnlockWord1));
        QVERIFY(module.fullAccess());
        QCOMPARE(module.reg(Reg::CAN_Unlocked), kCanUnlockedMarker);
        QVERIFY(module.canWrite(2298, 42));
        QCOMPARE(int(module.reg(98)), 42);
        QVERIFY(!module.canWrite(2299, 42));
        // Another pair ends full access; register 29 keeps its mark until a restart.
        QVERIFY(module.canWrite(2201, 1));
        QVERIFY(!module.fullAccess());
        QCOMPARE(module.reg(Reg::CAN_Unlocked), kCanUnlockedMarker);
        module.powerUp(100);
        QCOMPARE(int(module.reg(Reg::CAN_Unlocked)), 0);
        // Written on a serial port, the pair unlocks nothing.
        module.serialWrite(0, kCanUnlockWord0);
        module.serialWrite(1, kCanUnlockWord1);
        module.pass(101);
        QVERIFY(!module.fullAccess());
    }

    // In realistic mode a chunk of host bytes starts crossing the wire only when the
    // one before it has, however the pty cut them: the chip's ACK to a write block
    // comes after the line time of all 258 bytes, its programming time and the ACK's
    // own line time.
    void bootloaderPacesAnswersToTheLine_data()
    {
        QTest::addColumn<QList<int>>("sizes");     // count byte, data and checksum, as chunks
        QTest::addColumn<QList<int>>("arrivals");  // microseconds after the first chunk
        QTest::addColumn<int>("lineUs");           // when the last host byte is in
        const int w1 = int(stm32::WireTime(1, 115200).count());
        const int w256 = int(stm32::WireTime(256, 115200).count());
        QTest::newRow("one chunk") << QList<int>{258} << QList<int>{0} << int(stm32::WireTime(258, 115200).count());
        QTest::newRow("three chunks at once") << QList<int>{1, 256, 1} << QList<int>{0, 0, 0} << w1 + w256 + w1;
        QTest::newRow("three chunks, one after the other has crossed")
            << QList<int>{1, 256, 1} << QList<int>{0, 2000, 40000} << 40000 + w1;
        QTest::newRow("data while the count byte crosses")
            << QList<int>{1, 256, 1} << QList<int>{0, 50, 30000} << 30000 + w1;
    }

    void bootloaderPacesAnswersToTheLine()
    {
        QFETCH(QList<int>, sizes);
        QFETCH(QList<int>, arrivals);
        QFETCH(int, lineUs);
        BootloaderPersonality boot;
        boot.setRealistic(true);
        std::vector<LineReply> out;
        // Sync, Write Memory and its address, each answered before the next.
        const std::vector<std::pair<uint64_t, Bytes>> lead = {
            {0, {0x7F}}, {10000, {0x31, 0xCE}}, {20000, {0x08, 0x00, 0x00, 0x00, 0x08}}};
        for (const auto &[t, bytes] : lead)
            boot.receiveAt(bytes.data(), bytes.size(), t, out);
        QCOMPARE(out.size(), size_t(3));
        QCOMPARE(out[0].delayUs, uint64_t(2 * stm32::WireTime(1, 115200).count()));

        Bytes block(258, 0x5A);
        block[0] = 0xFF;
        uint8_t x = 0;
        for (size_t i = 0; i + 1 < block.size(); ++i)
            x ^= block[i];
        block.back() = x;
        const uint64_t first = 100000;
        out.clear();
        size_t at = 0;
        for (int i = 0; i < sizes.size(); ++i) {
            boot.receiveAt(block.data() + at, size_t(sizes[i]), first + uint64_t(arrivals[i]), out);
            at += size_t(sizes[i]);
        }
        QCOMPARE(out.size(), size_t(1));
        QCOMPARE(out[0].bytes, Bytes{0x79});
        const int64_t answeredAt = int64_t(first) + arrivals.last() + int64_t(out[0].delayUs);
        const int64_t expected = int64_t(first) + lineUs + Stm32Bootloader::programTime(256).count() +
                                 stm32::WireTime(1, 115200).count();
        // Line times are whole microseconds per chunk: a microsecond apart at most.
        QVERIFY2(std::abs(answeredAt - expected) <= 1,
                 qPrintable(QString("%1 us, expected %2").arg(answeredAt).arg(expected)));
    }

    void gatewayShowsModuleAfterUnlock()
    {
        ModuleCore module;
        PlcGateway gw(module);
        module.setReg(25, 0);
        for (uint64_t t = 1; t < 50; ++t) {
            module.pass(t);
            gw.tick(t);
        }
        // Before the unlock only registers 0 ... 19 travel, one pair per 100 ms.
        QCOMPARE(gw.read(2200 + Reg::FW_Version), uint16_t(0));
        gw.write(2200, kCanUnlockWord0);
        gw.write(2201, kCanUnlockWord1);
        for (uint64_t t = 50; t < 400; ++t) {
            module.pass(t);
            gw.tick(t);
        }
        QCOMPARE(gw.read(2200 + Reg::FW_Version), kDefaultFirmwareVersion);
        QCOMPARE(gw.read(2200 + Reg::CAN_Unlocked), kCanUnlockedMarker);
        QCOMPARE(gw.read(2200 + 14), kPowerUpGain);
    }
};

QTEST_GUILESS_MAIN(TestSimModule)
#include "tst_sim_module.moc"
