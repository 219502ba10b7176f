// Faults of the line and the module, over a pty against the simulated module:
// the adapter pulled out during polling and during an update, the module
// restarting inside the configuration sequence, and a line whose far end stops
// reading. Each must end with nothing lost and nothing reported as success.
#include "firmware/FirmwareImage.h"
#include "modbus/MODBUS_RTU.h"
#include "modbus/RegisterMap.h"
#include "tests/support/CpuTime.h"
#include "tests/support/FlashHolds.h"
#include "tests/support/MainWindowTest.h"
#include "tests/support/MessageRecorder.h"
#include "tests/support/SimFixture.h"
#include "tests/support/WhenRegister.h"

#include <QElapsedTimer>
#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

using talvex::sim::SimMode;

namespace {

// Small enough that a send into a full line gives up quickly; the tool's
// default is seconds.
constexpr uint16_t kShortOutputTimeoutMs = 100;
// A process that stops watching a dead line uses a few per cent of a core; one
// that polls it in a loop uses all of it.
constexpr qint64 kMaxCpuMsPerSecond = 250;
// Quicker ticks of the update's time-out (the tool's are 1 s), set once the
// update is well under way, for the cases that wait for a run to end by it; the
// count of ticks that ends a run is the tool's. After a pull, the run ends some
// 6 ticks later.
constexpr int kPulledOvertimeTickMs = 200;
// A stall of two ticks, as one of 2 s was of the tool's ticks: most often the
// first run outlives it, and a loaded machine still has a second run to spare.
constexpr int kStalledOvertimeTickMs = 500;
constexpr int kStallTicks = 2;

qint64 CpuMs()
{
    return qint64(ProcessCpuSeconds() * 1000);
}

// A second writer on the tool's side of the line. While the module does not
// read, it fills the line until the pty takes no more, so the tool's next send
// meets a full output queue.
class LineFiller {
public:
    explicit LineFiller(const std::string &ttyPath)
        : fd_(::open(ttyPath.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
    }
    ~LineFiller()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    // Fills until the line has stayed full for a while: the module may still be
    // taking one last read as it stalls.
    size_t fill()
    {
        size_t total = 0;
        for (int round = 0; round < kMaxRounds; ++round) {
            const size_t n = fillOnce();
            total += n;
            if (n == 0 && round > 0)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(kSettleMs));
        }
        return total;
    }

private:
    static constexpr int kMaxRounds = 50;
    static constexpr int kSettleMs = 20;

    size_t fillOnce()
    {
        // 0xFF starts no request and pairs into no bootloader command.
        const std::vector<uint8_t> junk(256, 0xFF);
        size_t total = 0;
        for (;;) {
            const ssize_t n = ::write(fd_, junk.data(), junk.size());
            if (n <= 0)
                return total;
            total += static_cast<size_t>(n);
        }
    }

    int fd_;
};

int LastProgress(const QStringList &statuses)
{
    static const QRegularExpression progress("^写进度: (\\d+)%$");
    for (auto it = statuses.crbegin(); it != statuses.crend(); ++it)
        if (const auto m = progress.match(*it); m.hasMatch())
            return m.captured(1).toInt();
    return -1;
}

}  // namespace

class TestFaultsSim : public UpdateWindowsTest {
    Q_OBJECT

private slots:
    void portPulledWhilePolling()
    {
        SimFixture sim;
        MessageRecorder messages;
        connectForm();
        QTRY_VERIFY_WITH_TIMEOUT(form->ExchangeCount >= 3, 3000);

        sim.unplug();
        QTest::qWait(200);  // the tool meets the hung-up line
        const int exchanges = form->ExchangeCount;
        const QString clock = form->TimerStr->text();
        QElapsedTimer wall;
        const qint64 cpuBefore = CpuMs();
        wall.start();
        QTest::qWait(1000);
        const qint64 cpu = CpuMs() - cpuBefore;
        QVERIFY2(cpu * 1000 <= kMaxCpuMsPerSecond * wall.elapsed(),
                 qPrintable(QString("%1 ms of CPU in %2 ms").arg(cpu).arg(wall.elapsed())));

        // The window goes to its disconnected state by itself, as "断开连接" takes it
        // (the lamp no longer reports a connection that is gone); the clock goes on.
        QVERIFY(!form->Timer1.isActive());
        QVERIFY(form->ExchangeCount <= exchanges);
        QVERIFY(form->TimerStr->text() != clock);
        QVERIFY(messages.shown.isEmpty());
        QVERIFY(!form->SpeedButton1->isChecked());
        QCOMPARE(form->SpeedButton1->text(), QString("开始连接"));
        QVERIFY(!form->ComDriver.IsOpen());
        QVERIFY(!form->Timer1.isActive());

        // The port is gone: the next connect is refused and says so.
        form->SpeedButton1->click();
        QVERIFY(!form->SpeedButton1->isChecked());
        QCOMPARE(form->SpeedButton1->text(), QString("开始连接"));
        QCOMPARE(messages.shown.size(), 1);
        QCOMPARE(messages.shown[0].caption, QString("串口错误"));
        QCOMPARE(messages.shown[0].text,
                 QString("当前串口号已经被占用，或其它错误 ！\r请选择其它串口，或检查串口设置是否正确。"));
        QVERIFY(!form->Timer1.isActive());
    }

    void portPulledDuringAnUpdate()
    {
        SimFixture sim;
        MessageRecorder messages;
        skipLineWaits();
        startUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(LastProgress(statuses) >= 10, 20000);
        frm->OvertimeT.setInterval(kPulledOvertimeTickMs);
        sim.unplug();

        // The run ends by its time-out; the retry cannot open the port and says so.
        QTRY_VERIFY_WITH_TIMEOUT(!messages.shown.isEmpty(), 15000);
        QCOMPARE(messages.shown.size(), 1);
        QCOMPARE(messages.shown[0].caption, QString("串口错误"));
        QCOMPARE(messages.shown[0].text,
                 QString("当前串口号 COM2 已经被占用，或其它错误 ！\r请选择其它串口，或检查串口设置是否正确。"));
        QVERIFY(!frm->OvertimeT.isActive());
        QVERIFY(!frm->Timer5.isActive());
        QVERIFY(!frm->ComDriver.IsOpen());
        QCOMPARE(frm->Engine.Core().RetryCount(), uint8_t(1));
        QCOMPARE(frm->Panel1->text(), QString("连机失败！请检查通信线。"));
        QCOMPARE(frm->ProgressBar1->value(), 0);
        QVERIFY(!statuses.contains("上载完成！"));
        // Nothing runs on: no further run, no further message, for more ticks than
        // a run's time-out takes.
        QTest::qWait(8 * kPulledOvertimeTickMs);
        QCOMPARE(messages.shown.size(), 1);
        QCOMPARE(statuses.last(), QString("连机失败！请检查通信线。"));
    }

    void moduleRestartsInsideTheConfigurationWrite()
    {
        SimFixture sim;
        MessageRecorder messages;
        connectForm();
        QTRY_VERIFY_WITH_TIMEOUT(form->ExchangeCount >= 5, 3000);  // read-backs are over
        const uint16_t before[6] = {sim->reg(Reg::Cfg_Station), sim->reg(Reg::Cfg_BaudCAN),
                                    sim->reg(Reg::Cfg_Baud485), sim->reg(Reg::Cfg_TxSuppress),
                                    sim->reg(Reg::Cfg_Filter),  sim->reg(Reg::Cfg_Dat485)};
        form->SpinEdit2->SetValue(7);
        form->Baud_CAN->SetItemIndex(2);
        form->Baud_485->SetItemIndex(0);
        form->SpinEdit3->SetValue(250);
        form->Filter_Val->SetItemIndex(4);
        form->Dat_485->SetItemIndex(1);
        {
            // Write 3 (the CAN bit rate) has landed: the module restarts and forgets the unlock.
            WhenRegister restart(*sim.sim, Reg::Cfg_BaudCAN, 2, [](auto &s) { s.powerCycle(); });
            form->BitBtn2->click();
            QVERIFY(restart.fired());
        }
        QVERIFY(!messages.texts().contains("标定完毕 ！"));
        QCOMPARE(messages.texts(), QStringList{"通信失败 ！"});
        QVERIFY(form->Timer1.isActive());  // polling resumes

        // Nothing was stored: after the next start the module has its old settings.
        sim->powerCycle();
        for (int i = 0; i < 6; ++i)
            QCOMPARE(sim->reg(Reg::Cfg_Station + i), before[i]);
    }

    void configurationThroughTheGatewayIsConfirmedDespiteItsDelay()
    {
        // The gateway answers reads from its picture of the module, which follows a
        // commit only a few CAN messages later: the read-back must wait for it.
        SimFixture sim(SimMode::Gateway);
        MessageRecorder messages;
        form->ComboBox6->SetItemIndex(kModeItemPlcCan);
        connectForm();
        QTRY_VERIFY_WITH_TIMEOUT(FontColor(form->Label20) == QColor(Qt::red), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(form->ExchangeCount >= 5, 3000);
        form->SpinEdit3->SetValue(321);
        form->Filter_Val->SetItemIndex(7);
        form->BitBtn2->click();
        QCOMPARE(messages.texts(), QStringList{"标定完毕 ！"});
        sim->powerCycle();
        QCOMPARE(sim->reg(Reg::Cfg_TxSuppress), uint16_t(321));
        QCOMPARE(sim->reg(Reg::Cfg_Filter), uint16_t(7));
    }

    void pollingRecoversWhenTheStalledLineIsReadAgain()
    {
        SimFixture sim;
        LineFiller filler(sim->ttyPath());  // opened before the tool takes the port exclusively
        QVERIFY(filler.ok());
        form->ComDriver.SetOutputTimeout(kShortOutputTimeoutMs);
        connectForm();
        QTRY_VERIFY_WITH_TIMEOUT(form->ExchangeCount >= 2, 3000);

        sim->setStalled(true);
        QVERIFY(filler.fill() > 0);
        const int stalledAt = form->ExchangeCount;
        // A request into the full line gives up after the output time-out, not later.
        form->Timer1.stop();
        form->SendPending = true;
        QElapsedTimer send;
        send.start();
        form->Timer1Timer();
        QVERIFY2(send.elapsed() >= kShortOutputTimeoutMs - 10, qPrintable(QString::number(send.elapsed())));
        QVERIFY2(send.elapsed() < 10 * kShortOutputTimeoutMs, qPrintable(QString::number(send.elapsed())));
        form->Timer1.start();
        QTest::qWait(1500);                             // requests meet the full line, give up, are repeated
        QVERIFY(form->ExchangeCount <= stalledAt + 1);  // one reply may have been on its way
        QVERIFY(form->Timer1.isActive());

        sim->setStalled(false);
        const int resumedAt = form->ExchangeCount;
        QTRY_VERIFY_WITH_TIMEOUT(form->ExchangeCount >= resumedAt + 3, 8000);
    }

    void updateRecoversWhenTheStalledLineIsReadAgain()
    {
        SimFixture sim;
        LineFiller filler(sim->ttyPath());
        QVERIFY(filler.ok());
        frm->ComDriver.SetOutputTimeout(kShortOutputTimeoutMs);
        skipLineWaits();
        const std::optional<QByteArray> carried = LoadFirmwareImage();
        QVERIFY(carried);
        const QByteArray image = *carried;
        startUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(LastProgress(statuses) >= 10, 20000);
        frm->OvertimeT.setInterval(kStalledOvertimeTickMs);

        sim->setStalled(true);
        QVERIFY(filler.fill() > 0);
        QTest::qWait(kStallTicks * kStalledOvertimeTickMs);
        QVERIFY(!statuses.contains("上载完成！"));

        // Once the line is read again the update completes, in this run or the next.
        sim->setStalled(false);
        QTRY_COMPARE_WITH_TIMEOUT(frm->Panel1->text(), QString("上载完成！"), 45000);
        QVERIFY(frm->Engine.Core().RetryCount() < 3);
        QVERIFY(!frm->OvertimeT.isActive() && !frm->Timer5.isActive());
        sim->withBootloader([&](auto &boot) { QVERIFY(FlashHolds(boot.chip().flash(), image)); });
    }
};

QTEST_MAIN(TestFaultsSim)
#include "tst_faults_sim.moc"
