// With English chosen, no window shows a Chinese character (labels, buttons,
// list items, grid cells, group titles, captions, tool tips, message boxes and
// status lines), and every English text fits its control at the window's own
// size. The Chinese windows are the other tests' business: they run without a
// catalogue, as the program does by default.
#include "tests/support/FakeSerialPort.h"
#include "tests/support/FirmwareWindowFixture.h"
#include "tests/support/MainWindowFixture.h"
#include "tests/support/MessageRecorder.h"
#include "tests/support/SimFixture.h"
#include "tests/support/StationRig.h"
#include "tests/support/VisibleTexts.h"
#include "translations/Language.h"
#include "ui/StandInGuard.h"
#include "ui/StationFrm.h"
#include "ui/StationSetup.h"
#include "ui/Trace.h"
#include "ui/Trend.h"
#include "ui/UpdateStatusText.h"

#include <QHeaderView>
#include <QTableView>
#include <QtTest>

namespace {

// Every text of `window` is free of CJK and fits; a failure names the control and the text.
void CheckEnglish(QWidget *window, int atLeast = 6)
{
    const QList<ShownText> texts = VisibleTexts(window);
    QVERIFY(texts.size() >= atLeast);
    for (const ShownText &t : texts) {
        QVERIFY2(!HasCjk(t.text), qPrintable(QStringLiteral("%1 shows \"%2\"").arg(t.where, t.text)));
        if (t.room >= 0)
            QVERIFY2(
                t.needed <= t.room,
                qPrintable(
                    QStringLiteral("%1: \"%2\" needs %3 px, has %4").arg(t.where, t.text).arg(t.needed).arg(t.room)));
    }
}

// The column titles of a table: free of CJK, each within its column.
void CheckHeadings(const QTableView *table)
{
    const QHeaderView *header = table->horizontalHeader();
    QVERIFY(header->count() > 0);
    for (int c = 0; c < header->count(); ++c) {
        const QString text = table->model()->headerData(c, Qt::Horizontal).toString();
        const QString where = QStringLiteral("%1 column %2").arg(table->objectName()).arg(c);
        QVERIFY2(!text.isEmpty() && !HasCjk(text), qPrintable(QStringLiteral("%1 shows \"%2\"").arg(where, text)));
        const int needed = TextWidth(header->font(), text);
        QVERIFY2(needed <= header->sectionSize(c), qPrintable(QStringLiteral("%1: \"%2\" needs %3 px, has %4")
                                                                  .arg(where, text)
                                                                  .arg(needed)
                                                                  .arg(header->sectionSize(c))));
    }
}

void CheckBoxes(const MessageRecorder &messages, int expected)
{
    QCOMPARE(messages.shown.size(), expected);
    for (const auto &box : messages.shown) {
        QVERIFY2(!HasCjk(box.caption), qPrintable(box.caption));
        QVERIFY2(!HasCjk(box.text), qPrintable(box.text));
    }
}

}  // namespace

class TestEnglish : public QObject, MainWindowFixture, FirmwareWindowFixture {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY(InstallLanguage(TUiLanguage::English));
        QStandardPaths::setTestModeEnabled(true);  // the user's engineering units stay out
    }
    void init()
    {
        createMainWindow();
        createFirmwareWindowOnDouble();
    }
    void cleanup()
    {
        destroyFirmwareWindow();
        destroyMainWindow();
    }

    void mainWindowAtStart()
    {
        CheckEnglish(form.get());
        QCOMPARE(form->SpeedButton1->text(), QString("Connect"));
        QCOMPARE(form->Filter_Val->itemText(3), QString("Level 3"));
    }

    // Connected: the caption with the version, the button's other text, the
    // controls filled from the module.
    void mainWindowConnected()
    {
        SimFixture sim;
        connectAndWait(2);
        CheckEnglish(form.get());
        QCOMPARE(form->GroupBox1->title(), QString("Communication (firmware: 1.50)"));
        QCOMPARE(form->SpeedButton1->text(), QString("Disconnect"));
    }

    void writeDialog()
    {
        dialog->show();
        CheckEnglish(dialog.get());
    }

    void firmwareWindow()
    {
        frm->show();
        CheckEnglish(frm.get());
    }

    void findDialog()
    {
        TFindDlg *dlg = form->FindDlg;
        dlg->show();
        CheckEnglish(dlg);
        CheckHeadings(dlg->FindResults);
        QCOMPARE(dlg->windowTitle(), QString("Find module"));
        QCOMPARE(dlg->FindStart->text(), QString("Search"));
        dlg->hide();
    }

    // The trend window, paused and recording, and its units dialog.
    void trendWindow()
    {
        form->TrendButton->click();
        TTrendFrm *trend = form->TrendFrm;
        QVERIFY(trend && trend->isVisible());
        CheckEnglish(trend);
        QCOMPARE(form->TrendButton->text(), QString("Trend"));
        trend->PauseButton->click();
        QCOMPARE(trend->PauseButton->text(), QString("Resume"));
        QCOMPARE(trend->StatusLabel->text(), QString("Paused"));
        CheckEnglish(trend);

        bool checked = false;
        QTimer::singleShot(0, trend, [&] {
            QWidget *units = QApplication::activeModalWidget();
            QVERIFY(units);
            QCOMPARE(units->objectName(), QString("UnitsDialog"));
            CheckEnglish(units, 3);  // caption, OK and Cancel
            CheckHeadings(units->findChild<QTableView *>("UnitsTable"));
            checked = true;
            units->close();
        });
        trend->UnitsButton->click();
        QVERIFY(checked);
    }

    // The trace window with the link's lines in it.
    void traceWindow()
    {
        SimFixture sim;
        form->TraceButton->click();
        TTraceFrm *trace = form->TraceFrm;
        QVERIFY(trace && trace->isVisible());
        connectAndWait(2);
        QTRY_VERIFY(trace->Filter().rowCount() >= 2);
        CheckEnglish(trace, 5);  // caption, three buttons, the check box
        CheckHeadings(trace->TraceView);
        QCOMPARE(form->TraceButton->text(), QString("Trace"));
        for (int row = 0; row < 2; ++row) {
            const QString direction = trace->Filter().index(row, TTraceModel::kDirection).data().toString();
            QVERIFY2(direction == "Tx" || direction == "Rx", qPrintable(direction));
        }
        trace->PauseButton->click();
        QCOMPARE(trace->PauseButton->text(), QString("Resume"));
        CheckEnglish(trace, 5);
    }

    // Every text the status line can show fits it.
    void statusLines()
    {
        frm->show();
        for (int n = 0; n <= int(TUpdateNotice::LinkFailed); ++n) {
            const auto notice = static_cast<TUpdateNotice>(n);
            frm->Panel1->setText(UpdateStatusText(notice, notice == TUpdateNotice::BootVersion ? 0x22 : 100));
            CheckEnglish(frm.get());
        }
    }

    // The boxes each window raises, one by one.
    void messageBoxes()
    {
        MessageRecorder messages;
        QTemporaryDir noPorts;
        qputenv(kPortDirEnv, noPorts.path().toLocal8Bit());
        form->SpeedButton1->click();  // no port there
        CheckBoxes(messages, 1);
        QCOMPARE(messages.shown[0].caption, QString("Port Error"));

        form->SelectedRegister = 10;
        form->StringGrid2DblClick();  // not connected
        form->Baud_CAN->SetItemIndex(-1);
        form->BitBtn2Click();  // a list without a choice
        CheckBoxes(messages, 3);
        QCOMPARE(messages.shown[2].text, QString("Choose the CAN baud!"));

        dialog->Edit1->setText("70000");  // out of range
        dialog->BitBtn1Click();           // no module to write to
        CheckBoxes(messages, 5);

        frm->Serial_Port->SetItemIndex(2);
        st.openFails = true;
        frm->BitBtn1Click();  // the port cannot be opened
        CheckBoxes(messages, 6);
        QVERIFY2(messages.shown[5].text.contains("COM3"), qPrintable(messages.shown[5].text));
        qunsetenv(kPortDirEnv);
    }

    // The station window stopped, then with a board passed; and its setup dialog.
    void stationWindow()
    {
        StationRig rig({{1, true}}, TALVEX_STANDIN_IMAGE);
        QString error;
        const QString url = "sqlite:" + rig.dir.filePath("records.sqlite");
        QVERIFY2(rig.open(url, error), qPrintable(error));
        TStation &station = *rig.station;
        TStationFrm stationFrm(station, url);
        stationFrm.show();
        CheckEnglish(&stationFrm, 8);
        QCOMPARE(stationFrm.StationStart->text(), QString("Start"));
        QVERIFY(stationFrm.Slot[0]->text().contains("Stopped"));

        stationFrm.StationStart->click();
        QTRY_VERIFY_WITH_TIMEOUT(stationFrm.Slot[0]->text().contains("Passed"), 60000);
        QTRY_VERIFY(stationFrm.LastRecords->count() == 1);
        CheckEnglish(&stationFrm, 8);
        QCOMPARE(stationFrm.PassedCount->text(), QString("Passed 1"));
        QVERIFY2(stationFrm.YieldLabel->text().startsWith("First-pass yield 100.0 %"),
                 qPrintable(stationFrm.YieldLabel->text()));
        QVERIFY(!HasCjk(stationFrm.LastRecords->item(0)->text()));
        QVERIFY(!HasCjk(stationFrm.Slot[0]->accessibleName()));
        stationFrm.StationStop->click();

        TStationSetup setup;
        setup.recipe = rig.dir.filePath("recipe.json");
        TStationSetupDlg dialog(setup);
        dialog.show();
        CheckEnglish(&dialog, 6);
        QString refused;
        TRecipe recipe;
        QList<TStationPort> ports;
        QVERIFY(!PrepareStation(setup, recipe, ports, refused));  // no ports
        QVERIFY2(!refused.isEmpty() && !HasCjk(refused), qPrintable(refused));
    }

    void standInQuestion()
    {
        QString asked;
        SetQuestionHook([&](QWidget *, const QString &text, const QString &) {
            asked = text;
            return false;
        });
        st.devices[ResolveComPort("COM4")] = DeviceKind::SerialDevice;
        QVERIFY(!ConfirmCarriedImage(frm.get(), frm->ComDriver, 3, true));
        SetQuestionHook({});
        QVERIFY(!asked.isEmpty());
        QVERIFY2(!HasCjk(asked), qPrintable(asked));
        QVERIFY2(asked.contains("COM4 "), qPrintable(asked));
    }
};

QTEST_MAIN(TestEnglish)
#include "tst_english.moc"
