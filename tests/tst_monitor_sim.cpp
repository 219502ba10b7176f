// The output grid and the register write dialog against the simulated module.
#include "modbus/MODBUS_RTU.h"
#include "modbus/RegisterMap.h"
#include "tests/support/GridAccess.h"
#include "tests/support/MainWindowTest.h"
#include "tests/support/MessageRecorder.h"
#include "tests/support/SimFixture.h"

#include <QtTest>

using talvex::sim::FaultPlan;
using talvex::sim::SimMode;

class TestMonitorSim : public MainWindowTest {
    Q_OBJECT

    // Double-clicks the output cell (col, row) as a user would, and runs `inDialog`
    // once the modal dialog is up.
    void doubleClickCell(int col, int row, std::function<void()> inDialog)
    {
        const QPoint centre = CellCentre(form->StringGrid2, col, row);
        bool ran = false;
        QTimer::singleShot(0, this, [&] {
            QTRY_VERIFY(dialog->isVisible());
            ran = true;
            inDialog();
        });
        QTest::mouseClick(form->StringGrid2->viewport(), Qt::LeftButton, {}, centre);
        QTest::mouseDClick(form->StringGrid2->viewport(), Qt::LeftButton, {}, centre);
        QVERIFY(ran);
    }

private slots:
    void writeThroughTheDialog_data()
    {
        QTest::addColumn<bool>("gateway");
        QTest::newRow("PC-UART") << false;
        QTest::newRow("PLC-CAN gateway") << true;
    }
    void writeThroughTheDialog()
    {
        QFETCH(bool, gateway);
        SimFixture sim(gateway ? SimMode::Gateway : SimMode::FixedPort);
        MessageRecorder messages;
        if (gateway)
            form->ComboBox6->SetItemIndex(kModeItemPlcCan);
        connectAndWait(2);
        if (gateway)
            QTRY_VERIFY_WITH_TIMEOUT(FontColor(form->Label20) == QColor(Qt::red), 5000);

        doubleClickCell(1, 1, [&] {
            QCOMPARE(form->SelectedRegister, 10);
            QCOMPARE(dialog->Edit2->text(), QString("10"));
            QCOMPARE(dialog->Edit1->text(), QString::number(RegisterMirror[10]));
            QVERIFY(dialog->CheckBox1->isChecked());
            QTRY_VERIFY(dialog->Edit1->hasFocus());
            dialog->Edit1->selectAll();
            QTest::keyClicks(dialog->Edit1, "5000");
            QTest::keyClick(dialog->Edit1, Qt::Key_Return);
        });
        QVERIFY(!dialog->isVisible());
        QVERIFY(messages.shown.isEmpty());
        QCOMPARE(sim->reg(Reg::DA_Val0), uint16_t(5000));
        QVERIFY(form->Timer1.isActive());
        QTRY_COMPARE_WITH_TIMEOUT(RegisterMirror[10], uint16_t(5000), 2000);
        QCOMPARE(CellText(form->StringGrid2, 1, 1), QString("5000"));
    }

    // Through an adapter that hands every request back, a dialog write goes out
    // once and is confirmed by the module's own reply behind the echo.
    void dialogWriteThroughAnEchoingAdapterLandsOnce()
    {
        QTemporaryDir logDir;
        talvex::sim::SimOptions options;
        options.com = 2;
        options.echo = true;
        options.logPath = (logDir.path() + "/frames.log").toStdString();
        SimFixture sim(options);
        MessageRecorder messages;
        connectAndWait(2);
        QVERIFY(PortEchoes());
        doubleClickCell(1, 1, [&] {
            dialog->Edit1->selectAll();
            QTest::keyClicks(dialog->Edit1, "5000");
            QTest::keyClick(dialog->Edit1, Qt::Key_Return);
        });
        QVERIFY(messages.shown.isEmpty());
        QCOMPARE(sim->reg(Reg::DA_Val0), uint16_t(5000));
        QTRY_COMPARE_WITH_TIMEOUT(RegisterMirror[10], uint16_t(5000), 2000);
        QFile log(logDir.path() + "/frames.log");
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray frames = log.readAll();
        QCOMPARE(frames.count("rx 01 06 00 0A 13 88"), qsizetype(1));
    }

    void fixedCellActsOnTheCellLastSelected()
    {
        SimFixture sim;
        connectAndWait(1);
        ClickCell(form->StringGrid2, 2, 2);  // gain of DA1: register 15
        QCOMPARE(CurrentCell(form->StringGrid2), QPoint(2, 2));
        const QPoint fixedCell = CellCentre(form->StringGrid2, 0, 1);
        bool opened = false;
        QTimer::singleShot(0, this, [&] {
            QTRY_VERIFY(dialog->isVisible());
            opened = true;
            QCOMPARE(dialog->Edit2->text(), QString("15"));
            QTest::keyClick(dialog->Edit1, Qt::Key_Escape);
        });
        QTest::mouseDClick(form->StringGrid2->viewport(), Qt::LeftButton, {}, fixedCell);
        QVERIFY(opened);
        QCOMPARE(form->SelectedRegister, 15);
    }

    void writeToASilentModule()
    {
        SimFixture sim;
        MessageRecorder messages;
        connectAndWait(1);
        FaultPlan silent;
        silent.silent = true;
        sim->setFaults(silent);
        doubleClickCell(3, 1, [&] {
            QTest::keyClicks(dialog->Edit1, "7");
            dialog->BitBtn1->click();
        });
        QCOMPARE(messages.texts(), QStringList{"通信失败 ！"});
        QVERIFY(!dialog->isVisible());  // closed, since the box was ticked
        QVERIFY(form->Timer1.isActive());
        // Polling resumes: once the module answers again, exchanges count on.
        const int before = form->ExchangeCount;
        sim->setFaults(FaultPlan{});
        QTRY_VERIFY_WITH_TIMEOUT(form->ExchangeCount > before, 3000);
    }
};

QTEST_MAIN(TestMonitorSim)
#include "tst_monitor_sim.moc"
