// The main window against the simulated module: connect, the polling cycle, the
// PLC-CAN handshake and the configuration write.
#include "modbus/MODBUS_RTU.h"
#include "modbus/RegisterMap.h"
#include "tests/support/GridAccess.h"
#include "tests/support/MainWindowTest.h"
#include "tests/support/MessageRecorder.h"
#include "tests/support/SimFixture.h"
#include "tests/support/WhenRegister.h"

#include <QtTest>

using talvex::sim::FaultPlan;
using talvex::sim::SimMode;

// Register number to the word the module holds there.
using RegisterWords = QMap<int, uint16_t>;

class TestMainFormSim : public MainWindowTest {
    Q_OBJECT

private slots:
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
        QTest::newRow("noise before a reply with a bad CRC") << 1 << 3;
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

    // Stray bytes before every reply, an adapter that hands every request back:
    // the window shows the module's values all the same.
    void valuesThroughEchoesAndStrayBytes_data()
    {
        QTest::addColumn<bool>("echo");
        QTest::addColumn<int>("noiseBytes");
        QTest::newRow("three stray bytes before every reply") << false << 3;
        QTest::newRow("echoing adapter") << true << 0;
        QTest::newRow("echoing adapter and a stray byte") << true << 1;
    }
    void valuesThroughEchoesAndStrayBytes()
    {
        QFETCH(bool, echo);
        QFETCH(int, noiseBytes);
        SimFixture sim;
        sim->setReg(Reg::DA_Val0 + 1, 2345);
        FaultPlan plan;
        plan.noiseBytes = static_cast<uint32_t>(noiseBytes);
        sim->setFaults(plan);
        sim->setEcho(echo);
        connectForm();
        QTRY_VERIFY_WITH_TIMEOUT(form->ExchangeCount >= 3, 3000);
        QCOMPARE(RegisterMirror[Reg::DA_Val0 + 1], uint16_t(2345));
        QCOMPARE(CellText(form->StringGrid2, 2, 1), QString("2345"));
        QCOMPARE(form->GroupBox1->title(), QString("通信参数 (固件:1.50)"));
        QCOMPARE(PortEchoes(), echo);
    }

    // Through an echoing adapter the configuration sequence is confirmed by the
    // module's own replies and ends as on a plain line.
    void configurationWriteThroughAnEchoingAdapter()
    {
        SimFixture sim;
        sim->setEcho(true);
        MessageRecorder messages;
        connectAndWait(5);
        QVERIFY(PortEchoes());
        form->Filter_Val->SetItemIndex(5);
        form->BitBtn2->click();
        QCOMPARE(messages.texts(), QStringList{"标定完毕 ！"});
        QCOMPARE(sim->reg(Reg::Cfg_Filter), uint16_t(5));
    }

    // The PLC-CAN handshake's two writes through an echoing adapter.
    void plcCanHandshakeThroughAnEchoingAdapter()
    {
        SimFixture sim(SimMode::Gateway);
        sim->setEcho(true);
        form->ComboBox6->SetItemIndex(kModeItemPlcCan);
        connectForm();
        QTRY_VERIFY_WITH_TIMEOUT(FontColor(form->Label20) == QColor(Qt::red), 5000);
        QVERIFY(sim->fullAccess());
        QVERIFY(PortEchoes());
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
        connectAndWait(5);  // read-backs are over
        enterSettings({.Station = 7, .BaudCAN = 2, .Baud485 = 0, .TxSuppress = 250, .Filter = 4, .Dat485 = 1});
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

    // A module that answers late, but in time for every write's echo (within the
    // write's wait, or in the rest before its next attempt): each write is taken
    // once, and the look at the stored settings after the commit waits for its
    // reply as patiently as the polling cycle does, so the write is confirmed.
    void configurationWriteWithLateReplies_data()
    {
        QTest::addColumn<int>("delayMs");
        for (int delay : {0, 30, 45, 80, 120})
            QTest::newRow(qPrintable(QString("%1 ms late").arg(delay))) << delay;
    }
    void configurationWriteWithLateReplies()
    {
        QFETCH(int, delayMs);
        SimFixture sim;
        MessageRecorder messages;
        FaultPlan late;
        late.delayMs = uint32_t(delayMs);
        sim->setFaults(late);
        connectAndWait(5);  // read-backs are over
        enterSettings({.Station = 9, .BaudCAN = 3, .Baud485 = 2, .TxSuppress = 77, .Filter = 5, .Dat485 = 0});
        form->BitBtn2->click();
        QCOMPARE(messages.texts(), QStringList{"标定完毕 ！"});
        QVERIFY(form->Timer1.isActive());

        form->SpeedButton1->click();
        sim->setFaults(FaultPlan{});
        sim->powerCycle();
        const uint16_t expected[] = {9, 3, 2, 77, 5, 0};
        for (int i = 0; i < 6; ++i)
            QCOMPARE(sim->reg(Reg::Cfg_Station + i), expected[i]);
    }

    // The module falls silent the moment a setting lands: it still takes the
    // writes that follow, it only stops answering. Silent after the first
    // setting, the window says nothing and the commit code never goes out.
    // Silent after the last, the commit code reaches the module, which stores
    // the record, but no echo confirms it and the window reports the failure.
    // Either way polling resumes.
    void configurationWriteStopsWhenTheModuleFallsSilent_data()
    {
        QTest::addColumn<int>("station");   // SpinEdit2
        QTest::addColumn<int>("dat485");    // Dat_485's item
        QTest::addColumn<int>("silentAt");  // the register whose new value silences the module
        QTest::addColumn<int>("silentValue");
        QTest::addColumn<QStringList>("reported");
        QTest::addColumn<RegisterWords>("holds");  // module registers right after the write
        QTest::addColumn<QList<int>>("stored");    // its six settings after a restart
        const QList<int> defaults = {ModuleDefault::Station,    ModuleDefault::BaudCAN, ModuleDefault::Baud485,
                                     ModuleDefault::TxSuppress, ModuleDefault::Filter,  ModuleDefault::Dat485};
        QList<int> newFormat = defaults;
        newFormat.last() = 0;
        QTest::newRow("after the first setting")
            << 42 << ModuleDefault::Dat485 << int(Reg::Cfg_Station) << 42 << QStringList{}
            << RegisterWords{{Reg::Cfg_Commit, 0}, {Reg::Cfg_Unlock, kCfgUnlockCode}} << defaults;
        QTest::newRow("after the last setting") << ModuleDefault::Station << 0 << int(Reg::Cfg_Dat485) << 0
                                                << QStringList{"通信失败 ！"} << RegisterWords{} << newFormat;
    }
    void configurationWriteStopsWhenTheModuleFallsSilent()
    {
        QFETCH(int, station);
        QFETCH(int, dat485);
        QFETCH(int, silentAt);
        QFETCH(int, silentValue);
        QFETCH(QStringList, reported);
        QFETCH(RegisterWords, holds);
        QFETCH(QList<int>, stored);
        SimFixture sim;
        MessageRecorder messages;
        connectAndWait(5);  // read-backs are over
        form->SpinEdit2->SetValue(station);
        form->Dat_485->SetItemIndex(dat485);
        WhenRegister silence(*sim.sim, uint32_t(silentAt), uint16_t(silentValue), Silence);
        form->BitBtn2->click();
        QVERIFY(silence.fired());
        QCOMPARE(messages.texts(), reported);  // never a success
        for (const auto &shown : messages.shown)
            QCOMPARE(shown.caption, QString("TALVEX_M"));
        QVERIFY(form->Timer1.isActive());  // polling resumes
        for (auto it = holds.cbegin(); it != holds.cend(); ++it)
            QCOMPARE(sim->reg(uint32_t(it.key())), it.value());
        sim->setFaults(FaultPlan{});
        sim->powerCycle();
        for (int i = 0; i < stored.size(); ++i)
            QCOMPARE(int(sim->reg(Reg::Cfg_Station + i)), stored[i]);
    }
};

QTEST_MAIN(TestMainFormSim)
#include "tst_mainform_sim.moc"
