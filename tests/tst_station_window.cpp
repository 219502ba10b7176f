// The station window over the station engine and simulated modules: the tiles
// say each slot's state and stage in their text and their accessible name, the
// counts and the last records follow, a scanned label reaches the slot that
// waits for it, and a bad recipe or port is refused with its reason.
#include "station/RecordStore.h"
#include "tests/support/StationRig.h"
#include "ui/StationFrm.h"
#include "ui/StationSetup.h"

#include <QtTest>

#include <memory>

namespace {

constexpr int kBoardMs = 60000;  // one board through all its stages, on a loaded machine

// The rig's good recipe with `change` put over it (a null value removes a field), beside its image.
QString ChangedRecipe(StationRig &rig, const QJsonObject &change)
{
    QFile good(rig.dir.filePath("recipe.json"));
    if (!good.open(QIODevice::ReadOnly))
        qFatal("no recipe in the rig");
    QJsonObject o = QJsonDocument::fromJson(good.readAll()).object();
    for (auto it = change.begin(); it != change.end(); ++it) {
        if (it.value().isNull())
            o.remove(it.key());
        else
            o[it.key()] = it.value();
    }
    const QString path = rig.dir.filePath("changed.json");
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(QJsonDocument(o).toJson()) <= 0)
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

}  // namespace

class TestStationWindow : public QObject {
    Q_OBJECT

    std::unique_ptr<StationRig> rig_;
    std::unique_ptr<TStationFrm> frm_;

    void open(const std::vector<StationRig::Board> &boards, const QJsonObject &recipeChange = {})
    {
        rig_ = std::make_unique<StationRig>(boards, TALVEX_STANDIN_IMAGE, recipeChange);
        QString error;
        const QString url = QStringLiteral("sqlite:") + rig_->dir.filePath("records.sqlite");
        QVERIFY2(rig_->open(url, error), qPrintable(error));
        rig_->station->setOperator("Li Wei");
        frm_ = std::make_unique<TStationFrm>(*rig_->station, url);
        frm_->show();
    }

    QLabel *tile(int k) const { return frm_->findChild<QLabel *>(QStringLiteral("Slot%1").arg(k)); }

private slots:
    void cleanup()
    {
        frm_.reset();
        rig_.reset();
    }

    // Slot 1's board passes; slot 2's module never answers its bootloader, and
    // the slot fails at identifying it, with the reason on its tile.
    void passedAndFailed()
    {
        open({{1, true}, {2, false}});
        TStation &station = *rig_->station;
        QVERIFY(tile(1) && tile(2) && frm_->findChild<QLineEdit *>("SlotLabel2"));
        QVERIFY(frm_->RecipeLabel->text().contains("LOT-35"));
        QVERIFY(frm_->RecipeLabel->text().contains(rig_->recipe.imageSha256.left(12)));
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

        const TSlotStatus &failed = station.slotStatus(2);
        QVERIFY(!failed.reason.isEmpty());
        for (QLabel *t : {tile(1), tile(2)})
            QCOMPARE(t->accessibleName(), t->text().replace('\n', ", "));
        QVERIFY2(tile(2)->text().contains(QStringLiteral("失败：识别")), qPrintable(tile(2)->text()));
        QVERIFY2(tile(2)->text().contains(failed.reason), qPrintable(tile(2)->text()));
        QVERIFY(tile(1)->text().contains(BoardIdText(1)));

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
        open({{1, true}}, {{"label_required", true}});
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
        QCOMPARE(rig_->records.size(), 1);
        QCOMPARE(rig_->records.front().label, QString("TM-000123"));
        QVERIFY(frm_->LastRecords->item(0)->text().contains("TM-000123"));
    }

    // What the program is started with is judged before a port is opened.
    void refusedSetup_data()
    {
        // The good recipe and ports first, so that each refusal is the change's own.
        QTest::addColumn<QJsonObject>("recipeChange");
        QTest::addColumn<QStringList>("ports");
        QTest::addColumn<QString>("expected");
        QTest::newRow("good") << QJsonObject{} << QStringList{"COM3", "/dev/ttyUSB9"} << QString();
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
        StationRig rig({}, TALVEX_STANDIN_IMAGE);
        TStationSetup setup;
        setup.recipe = ChangedRecipe(rig, recipeChange);
        setup.ports = ports;
        TRecipe recipe;
        QList<TStationPort> resolved;
        QString error;
        if (expected.isEmpty()) {
            QVERIFY2(PrepareStation(setup, recipe, resolved, error), qPrintable(error));
            QCOMPARE(resolved.size(), 2);
            QCOMPARE(resolved[1].device, std::string("/dev/ttyUSB9"));
            QCOMPARE(recipe.lot, QString("LOT-35"));
            return;
        }
        QVERIFY(!PrepareStation(setup, recipe, resolved, error));
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
