// Finding a lost module from the main window: the line lists EX_Baud and EX_Format
// act at connect, "查找模块" opens the find dialog, whose search runs on timers
// while the window goes on, and "连接" or a double-click connects with the row's
// station and line. Against the simulated module on its RS-485 port.
#include "modbus/MODBUS_RTU.h"
#include "modbus/RegisterMap.h"
#include "serial/PortNames.h"
#include "sim/Simulator.h"
#include "tests/support/MainWindowTest.h"
#include "tests/support/MessageRecorder.h"

#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using talvex::sim::SimMode;
using talvex::sim::SimOptions;
using talvex::sim::Simulator;

namespace {

constexpr int kCom = 2;  // the window's port at start
constexpr int kExchangeMs = 3000;
constexpr int kSilentMs = 1000;  // long enough for many polls to go unanswered
constexpr int kSearchMs = 30000;

// The simulated module as COM2, started and restarted in a mode of its choosing,
// keeping its stored settings between starts.
struct RestartableSim {
    QTemporaryDir dir;
    std::unique_ptr<Simulator> sim;

    void start(SimMode mode, std::vector<int> bus = {})
    {
        if (sim)
            sim->stop();
        sim.reset();
        SimOptions o;
        o.busStations = std::move(bus);
        o.portDir = (dir.path() + "/ports").toStdString();
        o.stateDir = (dir.path() + "/state").toStdString();
        o.com = kCom;
        o.mode = mode;
        sim = std::make_unique<Simulator>(o);
        std::string error;
        if (!sim->start(error))
            qFatal("simulator: %s", error.c_str());
        setenv(kPortDirEnv, o.portDir.c_str(), 1);
    }
    ~RestartableSim()
    {
        if (sim)
            sim->stop();
    }
};

}  // namespace

class TestFindDialog : public MainWindowTest {
    Q_OBJECT

private:
    // The module, through the window's own configuration write, at station 37,
    // 19200 baud, 8 O 1; then restarted on its RS-485 port.
    void loseModule(RestartableSim &sim)
    {
        MessageRecorder messages;
        sim.start(SimMode::FixedPort);
        connectAndWait(5);
        TModuleSettings s = form->EnteredSettings();
        s.Station = 37;
        s.Baud485 = 1;  // "19200"
        s.Dat485 = 1;   // "8 O 1"
        enterSettings(s);
        form->BitBtn2->click();
        QCOMPARE(messages.texts(), QStringList{"标定完毕 ！"});
        form->SpeedButton1->click();
        sim.start(SimMode::Rs485Port);
    }

private slots:
    // What the lists choose is the line of the next connect.
    void lineListsActAtConnect_data()
    {
        QTest::addColumn<int>("baud");
        QTest::addColumn<int>("format");
        QTest::addColumn<bool>("answers");
        QTest::newRow("57600 8 E 1, the default") << 3 << 2 << true;
        QTest::newRow("19200 8 E 1") << 1 << 2 << false;
        QTest::newRow("57600 8 O 1") << 3 << 1 << false;
    }
    void lineListsActAtConnect()
    {
        QFETCH(int, baud);
        QFETCH(int, format);
        QFETCH(bool, answers);
        QCOMPARE(form->EX_Baud->currentText(), QString("57600"));
        QCOMPARE(form->EX_Format->currentText(), QString("8 E 1"));
        QCOMPARE(form->EX_Format->count(), 3);
        RestartableSim sim;
        sim.start(SimMode::Rs485Port);  // no stored settings: 57600 8 E 1, station 1
        form->EX_Baud->SetItemIndex(baud);
        form->EX_Format->SetItemIndex(format);
        connectForm();
        if (answers) {
            QTRY_VERIFY_WITH_TIMEOUT(form->ExchangeCount >= 2, kExchangeMs);
        } else {
            QTest::qWait(kSilentMs);
            QCOMPARE(form->ExchangeCount, 0);
        }
        QCOMPARE(sim.sim->lastLineSpeed(), uint32_t(baud == 3 ? 57600 : 19200));
    }

    void findButtonWhileDisconnectedInPcUart()
    {
        RestartableSim sim;
        sim.start(SimMode::FixedPort);
        QVERIFY(form->FindButton->isEnabled());
        QCOMPARE(form->FindButton->text(), QString("查找模块"));
        connectForm();
        QVERIFY(!form->FindButton->isEnabled());
        form->SpeedButton1->click();
        QVERIFY(form->FindButton->isEnabled());
        form->ComboBox6->SetItemIndex(1);  // PLC-CAN
        QVERIFY(!form->FindButton->isEnabled());
        form->ComboBox6->SetItemIndex(0);
        QVERIFY(form->FindButton->isEnabled());
    }

    void findAndConnect_data()
    {
        QTest::addColumn<bool>("doubleClick");
        QTest::newRow("连接") << false;
        QTest::newRow("double-click on the row") << true;
    }
    void findAndConnect()
    {
        QFETCH(bool, doubleClick);
        RestartableSim sim;
        loseModule(sim);
        if (QTest::currentTestFailed())
            return;
        // The default line no longer reaches it.
        connectForm();
        QTest::qWait(kSilentMs);
        QCOMPARE(form->ExchangeCount, 0);
        form->SpeedButton1->click();

        TFindDlg *dlg = form->FindDlg;
        QCOMPARE(dlg->objectName(), QString("FindDlg"));
        bool searched = false;
        QString clockBefore, clockDuring;
        int progressSeen = 0;
        QObject::connect(&dlg->Engine, &TScanEngine::Progress,
                         [&](const TScanProgress &p) { progressSeen = std::max(progressSeen, p.Percent); });
        QTimer::singleShot(0, [&] {
            QVERIFY(dlg->isVisible() && dlg->isModal());
            QCOMPARE(dlg->FindStart->text(), QString("开始查找"));
            QCOMPARE(dlg->FindStop->text(), QString("停止"));
            QCOMPARE(dlg->FindConnect->text(), QString("连接"));
            // Stations 30 ... 40 on every rate and format.
            dlg->FindFrom->SetValue(30);
            dlg->FindTo->SetValue(40);
            clockBefore = form->TimerStr->text();
            dlg->FindStart->click();
            QVERIFY(!dlg->FindStart->isEnabled() && dlg->FindStop->isEnabled());
            // The window's own timers go on during the search: its clock ticks.
            QVERIFY(QTest::qWaitFor([&] { return form->TimerStr->text() != clockBefore; }, kSearchMs));
            clockDuring = form->TimerStr->text();
            QVERIFY(QTest::qWaitFor([&] { return dlg->FindStart->isEnabled(); }, kSearchMs));
            searched = true;
            QCOMPARE(dlg->FindResults->rowCount(), 1);
            QCOMPARE(dlg->FindResults->item(0, TFindDlg::kColStation)->text(), QString("37"));
            QCOMPARE(dlg->FindResults->item(0, TFindDlg::kColBaud)->text(), QString("19200"));
            QCOMPARE(dlg->FindResults->item(0, TFindDlg::kColFormat)->text(), QString("8 O 1"));
            QCOMPARE(dlg->FindResults->item(0, TFindDlg::kColFirmware)->text(), QString("1.50"));
            QVERIFY2(dlg->FindResults->item(0, TFindDlg::kColSettings)
                         ->text()
                         .startsWith("站号 37, CAN 500K, 485 19200 "
                                     "8 O 1"),
                     qPrintable(dlg->FindResults->item(0, TFindDlg::kColSettings)->text()));
            QCOMPARE(dlg->FindProgress->value(), 100);
            QCOMPARE(dlg->FindStatus->text(), QString("找到 1 个模块"));
            if (doubleClick)
                emit dlg->FindResults->cellDoubleClicked(0, TFindDlg::kColStation);
            else
                dlg->FindConnect->click();
        });
        form->FindButton->click();
        QVERIFY(searched);
        QVERIFY(!dlg->isVisible());
        QVERIFY(!clockDuring.isEmpty());
        QVERIFY(progressSeen == 100);
        // The window took the row's station and line and connected.
        QCOMPARE(form->EX_Addr->currentText(), QString("37"));
        QCOMPARE(form->EX_Baud->currentText(), QString("19200"));
        QCOMPARE(form->EX_Format->currentText(), QString("8 O 1"));
        QVERIFY(form->SpeedButton1->isChecked());
        QTRY_VERIFY_WITH_TIMEOUT(form->ExchangeCount >= 2, kExchangeMs);
        QCOMPARE(RegisterMirror[Reg::Cfg_Station], uint16_t(37));
        QCOMPARE(form->GroupBox1->title(), QString("通信参数 (固件:1.50)"));
    }

    // Every module of a bus gets a row, each on its line.
    void everyModuleOfABusIsListed()
    {
        RestartableSim sim;
        sim.start(SimMode::Rs485Port, {3, 5, 7});
        TFindDlg *dlg = form->FindDlg;
        QStringList rows;
        QTimer::singleShot(0, [&] {
            dlg->FindFrom->SetValue(1);
            dlg->FindTo->SetValue(8);
            dlg->FindStart->click();
            QVERIFY(QTest::qWaitFor([&] { return dlg->FindStart->isEnabled(); }, kSearchMs));
            for (int r = 0; r < dlg->FindResults->rowCount(); ++r)
                rows << dlg->FindResults->item(r, TFindDlg::kColStation)->text() + " " +
                            dlg->FindResults->item(r, TFindDlg::kColBaud)->text() + " " +
                            dlg->FindResults->item(r, TFindDlg::kColFormat)->text();
            QCOMPARE(dlg->FindStatus->text(), QString("找到 3 个模块"));
            dlg->reject();
        });
        form->FindButton->click();
        QCOMPARE(rows, (QStringList{"3 57600 8 E 1", "5 57600 8 E 1", "7 57600 8 E 1"}));
        QVERIFY(!form->SpeedButton1->isChecked());
    }

    // Closing the dialog stops its search and leaves the window as it was.
    void closingStops()
    {
        RestartableSim sim;
        sim.start(SimMode::Rs485Port);
        TFindDlg *dlg = form->FindDlg;
        QTimer::singleShot(0, [&] {
            dlg->FindFrom->SetValue(2);  // station 1 would end it at once
            dlg->FindStart->click();
            QTest::qWait(200);
            QVERIFY(dlg->Engine.Running());
            dlg->reject();
        });
        form->FindButton->click();
        QVERIFY(!dlg->Engine.Running());
        QVERIFY(!dlg->ComDriver.IsOpen());
        QVERIFY(!form->SpeedButton1->isChecked());
        QCOMPARE(form->EX_Addr->currentText(), QString("1"));
    }
};

QTEST_MAIN(TestFindDialog)
#include "tst_find_dialog.moc"
