// The station window over the station engine and simulated modules: the tiles
// say each slot's state and stage in their text and their accessible name, the
// counts and the last records follow, a scanned label reaches the slot that
// waits for it, and a bad recipe or port is refused with its reason.
#include "station/RecordStore.h"
#include "tests/support/MessageRecorder.h"
#include "tests/support/SimFixture.h"
#include "tests/support/StationRecipe.h"
#include "ui/StationFrm.h"
#include "ui/StationSetup.h"

#include <QtTest>

#include <memory>

namespace {

constexpr int kBoardMs = 60000;  // one board through all its stages, on a loaded machine

// The simulated module's port as a device path: each fixture has its own port folder.
QString PortOf(SimFixture &sim, int com)
{
    return QDir(sim.dir.path()).filePath(QStringLiteral("ports/COM%1").arg(com));
}

talvex::sim::SimOptions Module(int com, bool bootloader = true)
{
    talvex::sim::SimOptions options;
    options.com = com;
    options.bootloader = bootloader;
    return options;
}

}  // namespace

class TestStationWindow : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir_;
    TRecipe recipe_;
    QList<TStationPort> ports_;
    std::unique_ptr<TRecordStore> store_;
    std::unique_ptr<TStation> station_;
    std::unique_ptr<TStationFrm> frm_;

    void open(const QJsonObject &recipeChange, const QStringList &ports)
    {
        TStationSetup setup;
        setup.recipe = WriteStationRecipe(dir_->path(), recipeChange);
        setup.ports = ports;
        setup.db = QStringLiteral("sqlite:") + dir_->filePath("records.sqlite");
        QString error;
        QVERIFY2(PrepareStation(setup, recipe_, ports_, error), qPrintable(error));
        store_ = std::make_unique<TRecordStore>();
        store_->setSpoolPath(dir_->filePath("spool.sqlite"));
        QVERIFY2(OpenStationRecords(setup, *store_, error), qPrintable(error));
        station_ = std::make_unique<TStation>(recipe_, *store_, ports_);
        station_->setOperator("Li Wei");
        frm_ = std::make_unique<TStationFrm>(*station_, setup.db);
        frm_->show();
    }

    QLabel *tile(int k) const { return frm_->findChild<QLabel *>(QStringLiteral("Slot%1").arg(k)); }

private slots:
    void init() { dir_ = std::make_unique<QTemporaryDir>(); }
    void cleanup()
    {
        frm_.reset();
        station_.reset();
        store_.reset();
        dir_.reset();
    }

    // Slot 1's board passes; slot 2's module never answers its bootloader, and
    // the slot fails at identifying it, with the reason on its tile.
    void passedAndFailed()
    {
        SimFixture good(Module(3));
        SimFixture mute(Module(4, false));
        open({}, {PortOf(good, 3), PortOf(mute, 4)});
        QVERIFY(tile(1) && tile(2) && frm_->findChild<QLineEdit *>("SlotLabel2"));
        QVERIFY(frm_->RecipeLabel->text().contains("LOT-W"));
        QVERIFY(frm_->RecipeLabel->text().contains(recipe_.imageSha256.left(12)));
        QVERIFY(frm_->OperatorLabel->text().contains("Li Wei"));
        QVERIFY(tile(1)->text().contains("已停止"));
        QVERIFY(!frm_->StationStop->isEnabled());

        frm_->StationStart->click();
        QVERIFY(!frm_->StationStart->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(tile(1)->text().contains("通过"), kBoardMs);
        QTRY_VERIFY_WITH_TIMEOUT(tile(2)->text().contains("失败"), kBoardMs);
        QCOMPARE(frm_->PassedCount->text(), QString("通过 1"));
        QCOMPARE(frm_->FailedCount->text(), QString("失败 1"));
        QVERIFY2(frm_->YieldLabel->text().contains("50.0 %"), qPrintable(frm_->YieldLabel->text()));

        const TSlotStatus &failed = station_->slotStatus(2);
        QVERIFY(!failed.reason.isEmpty());
        for (QLabel *t : {tile(1), tile(2)})
            QCOMPARE(t->accessibleName(), t->text().replace('\n', ", "));
        QVERIFY2(tile(2)->text().contains(QStringLiteral("失败：识别")), qPrintable(tile(2)->text()));
        QVERIFY2(tile(2)->text().contains(failed.reason), qPrintable(tile(2)->text()));
        QVERIFY(tile(1)->text().contains(station_->slotStatus(1).uniqueId));

        QCOMPARE(frm_->LastRecords->count(), 2);
        QStringList rows;
        for (int i = 0; i < 2; ++i)
            rows << frm_->LastRecords->item(i)->text();
        QVERIFY2(rows.filter("通过").size() == 1 && rows.filter("失败").size() == 1, qPrintable(rows.join('|')));

        frm_->StationStop->click();
        QVERIFY(frm_->StationStart->isEnabled());
        QTRY_VERIFY(tile(1)->text().contains("已停止"));
    }

    // The recipe wants a label: the slot waits, the scanner's keystrokes and
    // Enter in its field give it, a label the pattern refuses stays in the field
    // with the reason on the message line, and the record carries the label.
    void scannedLabel()
    {
        SimFixture sim(Module(3));
        open({{"label_required", true}, {"label_pattern", "TM-[0-9]{6}"}}, {PortOf(sim, 3)});
        frm_->StationStart->click();
        QTRY_VERIFY_WITH_TIMEOUT(tile(1)->text().contains("等待标签"), kBoardMs);
        QLineEdit *field = frm_->findChild<QLineEdit *>("SlotLabel1");
        QVERIFY(field);

        QTest::keyClicks(field, "XX-1");
        QTest::keyClick(field, Qt::Key_Return);
        QVERIFY2(frm_->StationMessage->text().contains("XX-1"), qPrintable(frm_->StationMessage->text()));
        QCOMPARE(field->text(), QString("XX-1"));
        QVERIFY(tile(1)->text().contains("等待标签"));

        field->clear();
        QTest::keyClicks(field, "TM-000123");
        QTest::keyClick(field, Qt::Key_Return);
        QVERIFY(field->text().isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(tile(1)->text().contains("通过"), kBoardMs);
        QVERIFY(tile(1)->text().contains("TM-000123"));
        QCOMPARE(station_->lastRecords().size(), 1);
        QCOMPARE(station_->lastRecords().front().label, QString("TM-000123"));
        QVERIFY(frm_->LastRecords->item(0)->text().contains("TM-000123"));
    }

    // What the program is started with is judged before a port is opened.
    void refusedSetup_data()
    {
        QTest::addColumn<QJsonObject>("recipeChange");
        QTest::addColumn<QStringList>("ports");
        QTest::addColumn<QString>("expected");
        QTest::newRow("wrong digest") << QJsonObject{{"sha256", QString(64, 'a')}} << QStringList{"COM3"} << "sha256";
        QTest::newRow("no lot") << QJsonObject{{"lot", QJsonValue::Null}} << QStringList{"COM3"} << "lot";
        QTest::newRow("no ports") << QJsonObject{} << QStringList{} << "COM3,COM4";
        QTest::newRow("unknown port") << QJsonObject{} << QStringList{"LPT1"} << "LPT1";
        QTest::newRow("port twice") << QJsonObject{} << QStringList{"COM3", "com3"} << "com3";
    }
    void refusedSetup()
    {
        QFETCH(QJsonObject, recipeChange);
        QFETCH(QStringList, ports);
        QFETCH(QString, expected);
        TStationSetup setup;
        setup.recipe = WriteStationRecipe(dir_->path(), recipeChange);
        setup.ports = ports;
        QString error;
        QVERIFY(!PrepareStation(setup, recipe_, ports_, error));
        QVERIFY2(error.contains(expected), qPrintable(error));
    }

    // The command line starts the window without the dialog; without the recipe
    // or the ports the dialog asks, and its fields make the same setup.
    void commandLine()
    {
        TStationSetup setup;
        TUiLanguage language = TUiLanguage::Chinese;
        QString error;
        QVERIFY(ReadStationCommandLine({"talvex-station", "--recipe", "r.json", "--ports", "COM3, COM4", "--db",
                                        "sqlite:/tmp/x.sqlite", "--operator", "Li", "--lang", "en"},
                                       setup, language, error));
        QVERIFY(setup.complete());
        QCOMPARE(setup.ports, QStringList({"COM3", "COM4"}));
        QCOMPARE(setup.db, QString("sqlite:/tmp/x.sqlite"));
        QCOMPARE(setup.operatorName, QString("Li"));
        QCOMPARE(language, TUiLanguage::English);
        QVERIFY(!ReadStationCommandLine({"talvex-station", "--lang", "fr"}, setup, language, error));
        QVERIFY(error.contains("fr"));
        QVERIFY(!ReadStationCommandLine({"talvex-station", "--bogus"}, setup, language, error));
        QVERIFY(ReadStationCommandLine({"talvex-station", "--ports", "COM3"}, setup, language, error));
        QVERIFY(!setup.complete());

        TStationSetupDlg dialog(setup);
        QCOMPARE(dialog.PortsEdit->text(), QString("COM3"));
        dialog.RecipeFile->setText(" r.json ");
        dialog.PortsEdit->setText("COM3,/dev/ttyUSB0");
        QCOMPARE(dialog.setup().recipe, QString("r.json"));
        QCOMPARE(dialog.setup().ports, QStringList({"COM3", "/dev/ttyUSB0"}));
        QVERIFY(dialog.setup().complete());
    }
};

QTEST_MAIN(TestStationWindow)
#include "tst_station_window.moc"
