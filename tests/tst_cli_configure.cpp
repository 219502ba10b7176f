// talvex-cli configure against a module played as a Modbus server library plays
// it (tests/support/ModbusServerModel.h), on a line that loses replies: a
// reply lost at any of the eight writes, or a code left in its slot by an
// earlier broken sequence, still ends stored, and the next configure works too.
#include "modbus/RegisterMap.h"
#include "tests/support/CliProcess.h"
#include "tests/support/ModbusServerModel.h"
#include "tests/support/PtyPair.h"

#include <QtTest>

namespace {

constexpr int kCom = 1;
// What the module holds before the test: its defaults (station 1, 500K, 57600,
// 100 ms, filter 3, 8 E 1) and version 1.50.
constexpr uint16_t kDefaults[] = {1, 6, 3, 100, 3, 2};
constexpr int kFilterAt = Reg::Cfg_Filter - Reg::Cfg_Station;

// The write requests among `requests` as "register value".
QStringList Writes(const std::vector<std::vector<uint8_t>> &requests)
{
    QStringList writes;
    for (const auto &r : requests)
        if (r.size() == 8 && r[1] == kFnWriteSingleRegister)
            writes << QString("%1 %2").arg(r[2] << 8 | r[3]).arg(r[4] << 8 | r[5]);
    return writes;
}

}  // namespace

class TestCliConfigure : public QObject {
    Q_OBJECT

private slots:
    void recoversFromALostReply_data()
    {
        QTest::addColumn<int>("dropAt");          // the write whose reply is lost (1 ... 8), 0: none
        QTest::addColumn<int>("unlockSlot");      // register 20 before the sequence
        QTest::addColumn<int>("commitSlot");      // register 27 before the sequence
        QTest::addColumn<QStringList>("clears");  // the clears sent before the unlock
        for (int n = 1; n <= 8; ++n)
            QTest::addRow("reply to write %d lost", n) << n << 0 << 0 << QStringList{};
        QTest::newRow("commit code left standing by an earlier run")
            << 0 << 0 << int(kCfgCommitCode) << QStringList{"27 0"};
        QTest::newRow("unlock code left standing by an earlier run")
            << 0 << int(kCfgUnlockCode) << 0 << QStringList{"20 0"};
    }
    void recoversFromALostReply()
    {
        QFETCH(int, dropAt);
        QFETCH(int, unlockSlot);
        QFETCH(int, commitSlot);
        QFETCH(QStringList, clears);
        PtyPair line(kCom);
        QVERIFY(line.ok());
        ModbusServerModel module(line.master());
        for (size_t i = 0; i < std::size(kDefaults); ++i)
            module.setReg(Reg::Cfg_Station + int(i), kDefaults[i]);
        module.setReg(Reg::FW_Version, 150);
        module.setReg(Reg::Cfg_Unlock, uint16_t(unlockSlot));
        module.setReg(Reg::Cfg_Commit, uint16_t(commitSlot));
        module.dropReplyToWrite(dropAt);

        const Result r = RunCli({"-p", QString("COM%1").arg(kCom), "configure", "--filter", "4"}, line.portDir());
        QVERIFY2(r.status == 0, qPrintable(Describe(r)));
        QCOMPARE(module.stored()[kFilterAt], uint16_t(4));
        QCOMPARE(module.reg(Reg::Cfg_Unlock), uint16_t(0));
        QCOMPARE(module.reg(Reg::Cfg_Commit), uint16_t(0));
        // A stale slot is cleared before the unlock, and only then.
        const QStringList writes = Writes(module.requests());
        QCOMPARE(writes.mid(0, clears.size()), clears);
        QCOMPARE(writes.value(clears.size()), QString("20 %1").arg(kCfgUnlockCode));

        // The module is not left stuck: the next configure stores too.
        module.dropReplyToWrite(0);
        const Result next = RunCli({"-p", QString("COM%1").arg(kCom), "configure", "--filter", "5"}, line.portDir());
        QVERIFY2(next.status == 0, qPrintable(Describe(next)));
        QCOMPARE(module.stored()[kFilterAt], uint16_t(5));
        QCOMPARE(module.reg(Reg::Cfg_Commit), uint16_t(0));
    }
};

QTEST_GUILESS_MAIN(TestCliConfigure)
#include "tst_cli_configure.moc"
