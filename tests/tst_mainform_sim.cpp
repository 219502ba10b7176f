// The main window against the simulated module: connect, the polling cycle, the
// PLC-CAN handshake and the configuration write.
#include "GridAccess.h"
#include "Main.h"
#include "MessageRecorder.h"
#include "MODBUS_RTU.h"
#include "MonitorD.h"
#include "RegisterMap.h"
#include "SimFixture.h"

#include <QtTest>

#include <atomic>
#include <thread>

using talvex::sim::FaultPlan;
using talvex::sim::SimMode;

namespace {

// Watches a register of the simulator from a thread of its own and, the moment
// it takes a value, silences the module: the tool is blocked inside its write
// sequence then and cannot be told from the GUI thread.
class SilenceWhen {
public:
    SilenceWhen(talvex::sim::Simulator &sim, uint32_t reg, uint16_t value)
        : thread_([this, &sim, reg, value] {
              while (!stop_) {
                  if (sim.reg(reg) == value) {
                      FaultPlan plan;
                      plan.silent = true;
                      sim.setFaults(plan);
                      fired_ = true;
                      return;
                  }
                  std::this_thread::sleep_for(std::chrono::microseconds(200));
              }
          })
    {
    }
    ~SilenceWhen()
    {
        stop_ = true;
        thread_.join();
    }
    bool fired() const { return fired_; }

private:
    std::atomic<bool> stop_{false};
    std::atomic<bool> fired_{false};
    std::thread thread_;
};

} // namespace

class TestMainFormSim : public QObject {
    Q_OBJECT

    std::unique_ptr<TMainForm> form;
    std::unique_ptr<TMonitorDf> dialog;

    void connectForm()
    {
        form->SpeedButton1->click();
        QVERIFY(form->SpeedButton1->isChecked());
    }

private slots:
    void init()
    {
        form = std::make_unique<TMainForm>();
        dialog = std::make_unique<TMonitorDf>(form.get());
        form->show();
    }
    void cleanup()
    {
        dialog.reset();
        form.reset();
    }

    void connectExchangeDisconnect()
    {
        SimFixture sim;
        sim->setReg(Reg::DA_Val0 + 2, 4321);
        sim->setReg(Reg::DA_Gain0 + 3, 97);
        connectForm();
        QCOMPARE(form->Shape1->BrushColor(), QColor(0, 255, 0));
        QTRY_VERIFY_WITH_TIMEOUT(form->ExchangeCount >= 3, 3000);

        QCOMPARE(form->GroupBox1->title(), QString("通信参数 (固件:1.50)"));
        QVERIFY(form->LinkOk);
        QVERIFY(form->BitBtn2->isEnabled());
        QVERIFY(form->Edit4->text().toInt() >= 3);
        for (int r = 10; r < 32; ++r)
            QCOMPARE(RegisterMirror[r], sim->reg(r));
        for (int r = 0; r < 8; ++r)
            QVERIFY(RegisterMirror[r] <= 4095);  // 12-bit conversions, not the initial indexes
        QCOMPARE(RegisterMirror[32], uint16_t(32));

        // The grids show what was read.
        QCOMPARE(CellText(form->StringGrid2, 3, 1), QString("4321"));
        QCOMPARE(CellText(form->StringGrid2, 4, 2), QString("97"));
        QCOMPARE(CellText(form->StringGrid2, 1, 2), QString("100"));
        QCOMPARE(CellText(form->StringGrid1, 1, 1), QString::number(RegisterMirror[0]));

        // The configuration controls follow the module (its defaults) during the first exchanges.
        QCOMPARE(form->Baud_485->currentText(), QString("57600"));
        QCOMPARE(form->Filter_Val->currentText(), QString("三级"));

        const QString edit4 = form->Edit4->text();
        form->SpeedButton1->click();
        QVERIFY(!form->SpeedButton1->isChecked());
        QCOMPARE(form->SpeedButton1->text(), QString("开始连接"));
        QCOMPARE(form->Shape1->BrushColor(), SystemWindowColor());
        QVERIFY(!form->LinkOk);
        QVERIFY(!form->BitBtn2->isEnabled());
        QCOMPARE(form->ExchangeCount, 0);
        QCOMPARE(form->Edit4->text(), edit4);  // displays keep their last contents
        QCOMPARE(form->GroupBox1->title(), QString("通信参数 (固件:1.50)"));
    }

    void silentModuleIsAskedAgainAfterTwentyTicks()
    {
        SimFixture sim;
        FaultPlan plan;
        plan.delayMs = 400;  // every reply comes after the tool has given up on it
        sim->setFaults(plan);
        connectForm();
        form->Timer1.stop();  // drive the cycle by hand, tick by tick
        form->Timer1Timer();  // sends
        QVERIFY(!form->SendPending);
        for (int tick = 1; tick <= 20; ++tick) {
            form->Timer1Timer();
            QCOMPARE(form->PollWaitTicks, tick);
            QVERIFY(!form->SendPending);
        }
        form->Timer1Timer();  // the 21st waiting tick gives up
        QVERIFY(form->SendPending);

        // The late reply arrives now, complete and valid ...
        QTRY_VERIFY_WITH_TIMEOUT(form->ComDriver.RxCount >= 69, 2000);
        form->Timer1Timer();  // ... but the repeated request drops it
        QCOMPARE(form->ComDriver.RxCount, uint16_t(0));
        QVERIFY(!FetchRegisters(0));
        QCOMPARE(form->ExchangeCount, 0);

        // The reply to the repeated request is taken.
        QTRY_VERIFY_WITH_TIMEOUT(form->ComDriver.RxCount >= 69, 2000);
        form->Timer1Timer();
        QCOMPARE(form->ExchangeCount, 1);
    }

    void spoiledRepliesNeverReachTheMirror_data()
    {
        QTest::addColumn<int>("corruptEvery");
        QTest::addColumn<int>("noiseBytes");
        QTest::newRow("bad CRC") << 1 << 0;
        QTest::newRow("noise before the reply") << 0 << 3;
    }
    void spoiledRepliesNeverReachTheMirror()
    {
        QFETCH(int, corruptEvery);
        QFETCH(int, noiseBytes);
        SimFixture sim;
        ResetRegisterMirror();
        FaultPlan plan;
        plan.corruptEvery = static_cast<uint32_t>(corruptEvery);
        plan.noiseBytes = static_cast<uint32_t>(noiseBytes);
        sim->setFaults(plan);
        connectForm();
        QTest::qWait(800);  // more than one resend cycle
        QCOMPARE(form->ExchangeCount, 0);
        QVERIFY(!form->LinkOk);
        for (int i = 0; i < kMirrorWords; ++i)
            QCOMPARE(RegisterMirror[i], uint16_t(i));
        QCOMPARE(form->GroupBox1->title(), QString("通信参数"));

        // Once the line is clean the same cycle picks the module up.
        sim->setFaults(FaultPlan{});
        QTRY_VERIFY_WITH_TIMEOUT(form->ExchangeCount >= 1, 2000);
    }

    void plcCanHandshake()
    {
        SimFixture sim(SimMode::Gateway);
        form->ComboBox6->SetItemIndex(kModeItemPlcCan);
        connectForm();
        // The unlock pair goes out until word 29 reads 6666; then the label turns red.
        QTRY_VERIFY_WITH_TIMEOUT(FontColor(form->Label20) == QColor(Qt::red), 5000);
        QVERIFY(sim->fullAccess());
        QCOMPARE(RegisterMirror[Reg::CAN_Unlocked], kCanUnlockedMarker);
        // The exchange count started again at the handshake, so read-backs run again.
        QTRY_VERIFY_WITH_TIMEOUT(form->ExchangeCount >= 2, 2000);
        QVERIFY(form->Edit4->text().toInt() < 20);
        QCOMPARE(form->Baud_485->currentText(), QString("57600"));

        // Switching back to PC-UART leaves the label red until disconnect.
        form->ComboBox6->SetItemIndex(kModeItemPcUart);
        QTest::qWait(100);
        QCOMPARE(FontColor(form->Label20), QColor(Qt::red));
        form->SpeedButton1->click();
        QCOMPARE(FontColor(form->Label20), QColor(Qt::black));
    }

    void configurationWrite()
    {
        SimFixture sim;
        MessageRecorder messages;
        connectForm();
        QTRY_VERIFY_WITH_TIMEOUT(form->ExchangeCount >= 5, 3000);  // read-backs are over
        form->SpinEdit2->SetValue(7);
        form->Baud_CAN->SetItemIndex(2);
        form->Baud_485->SetItemIndex(0);
        form->SpinEdit3->SetValue(250);
        form->Filter_Val->SetItemIndex(4);
        form->Dat_485->SetItemIndex(1);
        form->BitBtn2->click();
        QCOMPARE(messages.texts(), QStringList{"标定完毕 ！"});
        QCOMPARE(messages.shown[0].caption, QString("TALVEX_M"));
        QVERIFY(form->Timer1.isActive());
        QCOMPARE(sim->reg(Reg::Cfg_Unlock), uint16_t(0));
        QCOMPARE(sim->reg(Reg::Cfg_Commit), uint16_t(0));

        // The stored record is in force after the module restarts.
        form->SpeedButton1->click();
        sim->powerCycle();
        const uint16_t expected[] = {7, 2, 0, 250, 4, 1};
        for (int i = 0; i < 6; ++i)
            QCOMPARE(sim->reg(Reg::Cfg_Station + i), expected[i]);
        // The controls keep what was written.
        QCOMPARE(form->SpinEdit2->Value(), 7);
        QCOMPARE(form->Filter_Val->currentText(), QString("四级"));
    }

    void configurationWriteStopsWhenTheModuleFallsSilent()
    {
        SimFixture sim;
        MessageRecorder messages;
        connectForm();
        QTRY_VERIFY_WITH_TIMEOUT(form->ExchangeCount >= 5, 3000);
        form->SpinEdit2->SetValue(42);
        SilenceWhen silence(*sim.sim, Reg::Cfg_Station, 42);
        form->BitBtn2->click();
        QVERIFY(silence.fired());
        QVERIFY(messages.shown.isEmpty());   // no success, no message at all
        QVERIFY(form->Timer1.isActive());     // polling resumes
        QCOMPARE(sim->reg(Reg::Cfg_Commit), uint16_t(0));
        QCOMPARE(sim->reg(Reg::Cfg_Unlock), kCfgUnlockCode);  // the unlock stays, nothing stored
        sim->setFaults(FaultPlan{});
        sim->powerCycle();
        QCOMPARE(sim->reg(Reg::Cfg_Station), uint16_t(1));
    }

    void failedCommitIsReported()
    {
        SimFixture sim;
        MessageRecorder messages;
        connectForm();
        QTRY_VERIFY_WITH_TIMEOUT(form->ExchangeCount >= 5, 3000);
        form->Dat_485->SetItemIndex(0);
        // Every setting is confirmed; the module stops answering before the commit code.
        SilenceWhen silence(*sim.sim, Reg::Cfg_Dat485, 0);
        form->BitBtn2->click();
        QVERIFY(silence.fired());
        QCOMPARE(messages.texts(), QStringList{"通信失败 ！"});
        QCOMPARE(messages.shown[0].caption, QString("TALVEX_M"));
    }
};

QTEST_MAIN(TestMainFormSim)
#include "tst_mainform_sim.moc"
