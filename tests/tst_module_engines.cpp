// The engines the main window and the command line share: the settings read-back,
// the framed configuration write, one poll step and the PLC-CAN handshake.
#include "modbus/MODBUS_RTU.h"
#include "modbus/ModuleConfig.h"
#include "modbus/PollCycle.h"
#include "serial/QRT_ComDrv.h"
#include "tests/support/FakeSerialPort.h"
#include "tests/support/ModbusBytes.h"

#include <QtTest>

namespace {

Bytes WriteFrame(uint16_t address, uint16_t value)
{
    return WithCrc({0x01, kFnWriteSingleRegister, uint8_t(address >> 8), uint8_t(address & 0xFF), uint8_t(value >> 8),
                    uint8_t(value & 0xFF)});
}

struct Write {
    int reg;
    uint16_t value;
    bool operator==(const Write &) const = default;
};

}  // namespace

class TestModuleEngines : public QObject {
    Q_OBJECT

    FakeSerialState line;
    std::unique_ptr<TQRTCommDriver> drv;
    TLinkMode mode = TLinkMode::PcUart;

private slots:
    void init()
    {
        line = FakeSerialState{};
        mode = TLinkMode::PcUart;
        drv = std::make_unique<TQRTCommDriver>(nullptr, std::make_unique<FakeSerialPort>(line));
        QVERIFY(drv->Open());
        SetModbusLink({drv.get(), [] { return 1; }, [this] { return mode; }});
        ResetRegisterMirror();
        line.written.clear();
    }
    void cleanup()
    {
        SetModbusLink({});
        drv.reset();
    }

    void decodeAsTheControlsTakeIt_data()
    {
        QTest::addColumn<std::vector<uint16_t>>("words");  // registers 21 ... 26
        QTest::addColumn<std::vector<int>>("decoded");
        QTest::newRow("module defaults") << std::vector<uint16_t>{1, 6, 3, 100, 3, 2}
                                         << std::vector<int>{1, 6, 3, 100, 3, 2};
        QTest::newRow("last entry of every list")
            << std::vector<uint16_t>{99, 7, 3, 9999, 9, 2} << std::vector<int>{99, 7, 3, 9999, 9, 2};
        QTest::newRow("zeros: station and suppression read as 1")
            << std::vector<uint16_t>{0, 0, 0, 0, 0, 0} << std::vector<int>{1, 0, 0, 1, 0, 0};
        QTest::newRow("numbers above range are clamped")
            << std::vector<uint16_t>{100, 1, 1, 10000, 1, 1} << std::vector<int>{99, 1, 1, 9999, 1, 1};
        QTest::newRow("one past every table selects nothing")
            << std::vector<uint16_t>{5, 8, 4, 50, 10, 3} << std::vector<int>{5, -1, -1, 50, -1, -1};
        QTest::newRow("full word") << std::vector<uint16_t>{65535, 65535, 65535, 65535, 65535, 65535}
                                   << std::vector<int>{99, -1, -1, 9999, -1, -1};
    }
    void decodeAsTheControlsTakeIt()
    {
        QFETCH(std::vector<uint16_t>, words);
        QFETCH(std::vector<int>, decoded);
        uint16_t mirror[kMirrorWords] = {};
        std::copy(words.begin(), words.end(), mirror + 21);
        const TModuleSettings s = DecodeModuleSettings(mirror);
        QCOMPARE((std::vector<int>{s.Station, s.BaudCAN, s.Baud485, s.TxSuppress, s.Filter, s.Dat485}), decoded);
        const bool complete = std::find(decoded.begin(), decoded.end(), -1) == decoded.end();
        QCOMPARE(ModuleSettingsComplete(s), complete);
    }

    void configurationSequence_data()
    {
        QTest::addColumn<int>("failAt");  // index of the first write that fails; -1 none
        QTest::addColumn<int>("echoed");
        QTest::addColumn<int>("failedRegister");
        QTest::addColumn<bool>("settingsWritten");
        QTest::addColumn<bool>("committed");
        QTest::newRow("all echoed") << -1 << 8 << -1 << true << true;
        QTest::newRow("unlock not echoed") << 0 << 0 << 20 << false << false;
        QTest::newRow("station not echoed") << 1 << 1 << 21 << false << false;
        QTest::newRow("last setting not echoed") << 6 << 6 << 26 << false << false;
        QTest::newRow("commit not echoed") << 7 << 7 << 27 << true << false;
    }
    void configurationSequence()
    {
        QFETCH(int, failAt);
        QFETCH(int, echoed);
        QFETCH(int, failedRegister);
        QFETCH(bool, settingsWritten);
        QFETCH(bool, committed);
        TModuleSettings s;
        s.Station = 42;
        s.BaudCAN = 7;
        s.Baud485 = 0;
        s.TxSuppress = 9999;
        s.Filter = 9;
        s.Dat485 = 1;
        std::vector<Write> writes;
        const TConfigWriteResult r = WriteModuleConfiguration(s, [&](int32_t reg, uint16_t value) {
            writes.push_back({reg, value});
            return int(writes.size()) - 1 != failAt;
        });
        const std::vector<Write> all = {{20, 7196}, {21, 42}, {22, 7}, {23, 0},
                                        {24, 9999}, {25, 9},  {26, 1}, {27, 54484}};
        // Stops at the first failure: the failed write is the last one made.
        const size_t made = failAt < 0 ? all.size() : size_t(failAt) + 1;
        QCOMPARE(writes, std::vector<Write>(all.begin(), all.begin() + made));
        QCOMPARE(r.Echoed, echoed);
        QCOMPARE(r.FailedRegister, failedRegister);
        QCOMPARE(r.SettingsWritten, settingsWritten);
        QCOMPARE(r.Committed, committed);
    }

    void configurationGoesOutAsEchoCheckedWrites()
    {
        // Read back, then written with the default writer: eight frames on the line,
        // then the commit checked by reading registers 20 ... 27, which this line never answers.
        const uint16_t settings[] = {5, 6, 3, 100, 3, 2};
        std::copy(std::begin(settings), std::end(settings), RegisterMirror + Reg::Cfg_Station);
        Bytes expected;
        for (int reg = Reg::Cfg_Unlock; reg <= Reg::Cfg_Commit; ++reg) {
            const uint16_t value = reg == Reg::Cfg_Unlock   ? kCfgUnlockCode
                                   : reg == Reg::Cfg_Commit ? kCfgCommitCode
                                                            : settings[reg - Reg::Cfg_Station];
            const Bytes frame = WriteFrame(uint16_t(reg), value);
            line.reads.push_back(frame);  // the module's echo
            expected.insert(expected.end(), frame.begin(), frame.end());
        }
        const TConfigWriteResult r = WriteModuleConfiguration(DecodeModuleSettings(RegisterMirror));
        QVERIFY(r.Committed);
        QVERIFY(!r.Stored);
        const Bytes readBack = {0x01, 0x03, 0x00, 0x14, 0x00, 0x08, 0x04, 0x08};
        QVERIFY(line.written.size() > expected.size());
        QCOMPARE(Bytes(line.written.begin(), line.written.begin() + expected.size()), expected);
        for (size_t at = expected.size(); at < line.written.size(); at += readBack.size())
            QCOMPARE(Bytes(line.written.begin() + at, line.written.begin() + at + readBack.size()), readBack);
    }

    void pollStepSendsWaitsAndGivesUp()
    {
        bool sendPending = true;
        int32_t ticks = 0;
        QCOMPARE(PollStep(sendPending, ticks), TPollStep::Sent);
        QCOMPARE(line.written, (Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x20, 0x44, 0x12}));
        for (int tick = 1; tick <= kPollMaxWaitTicks; ++tick) {
            QCOMPARE(PollStep(sendPending, ticks), TPollStep::Waiting);
            QCOMPARE(ticks, tick);
        }
        QCOMPARE(PollStep(sendPending, ticks), TPollStep::GaveUp);
        QVERIFY(sendPending);
        QCOMPARE(line.written.size(), size_t(8));  // giving up sends nothing itself
        QCOMPARE(PollStep(sendPending, ticks), TPollStep::Sent);
        QCOMPARE(line.written.size(), size_t(16));
        QCOMPARE(ticks, 0);
    }

    void pollStepTakesAReply_data()
    {
        QTest::addColumn<int>("first");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("mirrorIndex");
        QTest::addColumn<TLinkMode>("md");
        QTest::addColumn<Bytes>("request");
        QTest::newRow("the window's block")
            << 0 << 32 << 0 << TLinkMode::PcUart << Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x20, 0x44, 0x12};
        QTest::newRow("the window's block, PLC-CAN")
            << 0 << 32 << 0 << TLinkMode::PlcCan << Bytes{0x01, 0x03, 0x08, 0x98, 0x00, 0x20, 0xC7, 0x9D};
        QTest::newRow("registers 300, 301 into words 0, 1")
            << 300 << 2 << 0 << TLinkMode::PcUart << WithCrc({0x01, 0x03, 0x01, 0x2C, 0x00, 0x02});
        QTest::newRow("all 101 words") << 0 << 101 << 0 << TLinkMode::PcUart
                                       << WithCrc({0x01, 0x03, 0x00, 0x00, 0x00, 0x65});
    }
    void pollStepTakesAReply()
    {
        QFETCH(int, first);
        QFETCH(int, count);
        QFETCH(int, mirrorIndex);
        QFETCH(TLinkMode, md);
        QFETCH(Bytes, request);
        mode = md;
        const TPollRead read{first, count, mirrorIndex};
        bool sendPending = true;
        int32_t ticks = 0;
        QCOMPARE(PollStep(sendPending, ticks, read), TPollStep::Sent);
        QCOMPARE(line.written, request);

        std::vector<uint16_t> words(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i)
            words[size_t(i)] = uint16_t(0xA000 + i);
        const Bytes reply = ReadReply(1, words);
        // Half a reply is not an exchange yet.
        line.reads.push_back(Bytes(reply.begin(), reply.begin() + long(reply.size() / 2)));
        drv->PollReceive();
        QCOMPARE(PollStep(sendPending, ticks, read), TPollStep::Waiting);
        line.reads.push_back(Bytes(reply.begin() + long(reply.size() / 2), reply.end()));
        drv->PollReceive();
        QCOMPARE(PollStep(sendPending, ticks, read), TPollStep::Exchange);
        QVERIFY(sendPending);
        for (int i = 0; i < count; ++i)
            QCOMPARE(RegisterMirror[mirrorIndex + i], uint16_t(0xA000 + i));
        if (mirrorIndex + count < kMirrorWords)
            QCOMPARE(RegisterMirror[mirrorIndex + count], uint16_t(mirrorIndex + count));
    }

    // When the owner reads the line itself, so does the poll: a late answer to an
    // earlier request, still queued when the next request goes out, is dropped
    // with it, and the new reply is taken by the step that looks for it.
    void pollStepReadsTheLineItself()
    {
        drv->SetOwnerReadInterval(1000);
        line.reads.push_back(ReadReply(1, std::vector<uint16_t>(32, 0x1111)));
        bool sendPending = true;
        int32_t ticks = 0;
        QCOMPARE(PollStep(sendPending, ticks), TPollStep::Sent);
        QVERIFY(line.reads.empty());
        QCOMPARE(drv->RxCount, uint16_t(0));

        std::vector<uint16_t> words(32);
        for (size_t i = 0; i < words.size(); ++i)
            words[i] = uint16_t(0xB000 + i);
        line.reads.push_back(ReadReply(1, words));
        QCOMPARE(PollStep(sendPending, ticks), TPollStep::Exchange);
        QCOMPARE(RegisterMirror[0], uint16_t(0xB000));
        QCOMPARE(RegisterMirror[31], uint16_t(0xB01F));
    }

    void canHandshakeWritesThePairUntilConfirmed()
    {
        mode = TLinkMode::PlcCan;
        line.reads.push_back(WriteFrame(2200, kCanUnlockWord0));
        line.reads.push_back(WriteFrame(2201, kCanUnlockWord1));
        QVERIFY(!CanHandshakeStep());
        const Bytes pair = Cat({WriteFrame(2200, 15420), WriteFrame(2201, 50115)});
        QCOMPARE(line.written, pair);

        line.written.clear();
        RegisterMirror[Reg::CAN_Unlocked] = 6666;
        QVERIFY(CanUnlockConfirmed());
        QVERIFY(CanHandshakeStep());
        QVERIFY(line.written.empty());
    }
};

QTEST_MAIN(TestModuleEngines)
#include "tst_module_engines.moc"
