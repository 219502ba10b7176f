// talvex-cli station end to end: two simulated boards, their labels on standard
// input, --once: one JSON line per event, both records in the database that
// `records` exports; the same boards again in a new run are refused as
// duplicates; a refused recipe or a missing --ports opens no port.
#include "tests/support/CliProcess.h"
#include "tests/support/StationRig.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

namespace {

constexpr int kStationRunMs = 30000;

QList<QJsonObject> JsonLines(const QString &text)
{
    QList<QJsonObject> lines;
    for (const QString &line : text.split('\n', Qt::SkipEmptyParts))
        lines << QJsonDocument::fromJson(line.toUtf8()).object();
    return lines;
}

QList<QJsonObject> OfEvent(const QList<QJsonObject> &lines, const QString &event)
{
    QList<QJsonObject> of;
    for (const QJsonObject &o : lines)
        if (o.value("event").toString() == event)
            of << o;
    return of;
}

}  // namespace

class TestCliStation : public QObject {
    Q_OBJECT

    // A station run on the rig's boards, `input` on its standard input.
    static Result runStation(StationRig &rig, const QString &db, const QByteArray &input)
    {
        const QStringList args{
            "--json",
            "station",
            "--recipe",
            rig.dir.filePath("recipe.json"),
            "--ports",
            QString::fromStdString(rig.sim(1).ttyPath()) + "," + QString::fromStdString(rig.sim(2).ttyPath()),
            "--db",
            db,
            "--once",
            "--operator",
            "Li Wei"};
        QProcess p;
        StartCli(p, args, {}, {{"XDG_STATE_HOME", rig.dir.filePath("state")}});
        p.write(input);
        p.closeWriteChannel();
        Result r;
        QElapsedTimer clock;
        clock.start();
        while (p.state() != QProcess::NotRunning && clock.elapsed() < kStationRunMs)
            QTest::qWait(20);
        if (p.state() != QProcess::NotRunning) {
            p.kill();
            p.waitForFinished();
            r.err = "timed out\n";
        } else {
            r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        }
        r.out = QString::fromUtf8(p.readAllStandardOutput());
        r.err += QString::fromUtf8(p.readAllStandardError());
        return r;
    }

private slots:
    void twoBoardsOnceThenDuplicates()
    {
        StationRig rig({{31}, {32}}, TALVEX_STANDIN_IMAGE, {{"label_required", true}});
        const QString db = "sqlite:" + rig.dir.filePath("records.sqlite");
        Result r = runStation(rig, db, "1 TM-000031\n2 TM-000032\n");
        QVERIFY2(r.status == 0, qPrintable(Describe(r)));
        QList<QJsonObject> lines = JsonLines(r.out);
        QCOMPARE(lines.first().value("event").toString(), QStringLiteral("started"));
        QCOMPARE(lines.last().value("event").toString(), QStringLiteral("stopped"));
        QCOMPARE(lines.last().value("passed").toInt(), 2);
        QCOMPARE(lines.last().value("failed").toInt(), 0);
        QList<QJsonObject> records = OfEvent(lines, "record");
        QCOMPARE(records.size(), 2);
        for (const QJsonObject &record : records) {
            const int slot = record.value("slot").toString().toInt();
            QCOMPARE(record.value("result").toString(), QStringLiteral("passed"));
            QCOMPARE(record.value("unique_id").toString(), BoardIdText(30 + slot));
            QCOMPARE(record.value("label").toString(), QStringLiteral("TM-00003%1").arg(slot));
            QCOMPARE(record.value("operator").toString(), QStringLiteral("Li Wei"));
            QVERIFY(record.value("verified").toBool());
            QVERIFY(record.value("kept").toBool());
        }
        // Each slot's stages in order.
        QStringList stages;
        for (const QJsonObject &o : OfEvent(lines, "stage"))
            if (o.value("slot").toInt() == 1)
                stages << o.value("stage").toString();
        QCOMPARE(stages, (QStringList{"identify", "admit", "flash", "configure", "read-back", "record"}));

        const Result exported = RunCli({"records", "--db", db, "--json"}, {});
        QVERIFY2(exported.status == 0, qPrintable(Describe(exported)));
        QCOMPARE(JsonLines(exported.out).size(), 2);

        // A new run on the same boards: already passed in this lot.
        r = runStation(rig, db, "1 TM-000031\n2 TM-000032\n");
        QVERIFY2(r.status == 1, qPrintable(Describe(r)));
        lines = JsonLines(r.out);
        records = OfEvent(lines, "record");
        QCOMPARE(records.size(), 2);
        for (const QJsonObject &record : records) {
            QCOMPARE(record.value("result").toString(), QStringLiteral("failed"));
            QCOMPARE(record.value("failed_stage").toString(), QStringLiteral("admit"));
        }
        QCOMPARE(OfEvent(lines, "failed").size(), 2);
    }

    void refusedBeforeAnyPort_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("said");
        QTest::newRow("no ports") << QStringList{"station", "--recipe", "r.json"} << "station needs --ports";
        QTest::newRow("no recipe") << QStringList{"station", "--ports", "COM1"} << "station needs --recipe FILE";
        QTest::newRow("recipe absent") << QStringList{"station", "--recipe", "/nonexistent/r.json", "--ports",
                                                      "/nonexistent/tty"}
                                       << "no port was opened";
        QTest::newRow("empty port") << QStringList{"station", "--recipe", "r.json", "--ports", "COM1,,COM2"}
                                    << "--ports: an empty port name";
        QTest::newRow("count zero") << QStringList{"station", "--recipe", "r.json", "--ports", "COM1", "--count", "0"}
                                    << "--count: 0 is out of range";
        QTest::newRow("a station") << QStringList{"-a", "3", "station", "--recipe", "r.json", "--ports", "COM1"}
                                   << "-a is not used by station";
    }

    void refusedBeforeAnyPort()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, said);
        const Result r = RunCli(args, {});
        QCOMPARE(r.status, 2);
        QVERIFY2(r.err.contains(said), qPrintable(Describe(r)));
    }
};

QTEST_MAIN(TestCliStation)
#include "tst_cli_station.moc"
