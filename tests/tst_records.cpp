// A station's records on SQLite: the schema made once with its version, every
// field kept, the admit rules (a duplicate, a rework, a label tied to another
// board), a record sent twice stored once; and `talvex-cli records` exporting
// them as CSV and JSON with its filters.
#include "station/RecordStore.h"
#include "tests/support/CliProcess.h"
#include "tests/support/RecordSamples.h"

#include <QJsonDocument>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

namespace {

// RFC 4180 read back: quoted fields may hold commas, doubled quotes and line breaks.
QList<QStringList> ParseCsv(const QString &text)
{
    QList<QStringList> rows;
    QStringList row;
    QString field;
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"')
                field += '"', ++i;
            else if (c == '"')
                quoted = false;
            else
                field += c;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            row << field;
            field.clear();
        } else if (c == '\n') {
            rows << (row << field);
            row.clear();
            field.clear();
        } else {
            field += c;
        }
    }
    return rows;
}

// A look at the file beside the store, through a connection of its own.
class RawSqlite {
public:
    explicit RawSqlite(const QString &path)
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", name_);
        db.setDatabaseName(path);
        db.open();
    }
    ~RawSqlite() { QSqlDatabase::removeDatabase(name_); }
    QVariantList column(const QString &select)
    {
        QVariantList out;
        QSqlQuery q(QSqlDatabase::database(name_));
        if (!q.exec(select))
            qWarning("%s", qPrintable(q.lastError().text()));
        while (q.next())
            out << q.value(0);
        return out;
    }
    bool exec(const QString &statement) { return QSqlQuery(QSqlDatabase::database(name_)).exec(statement); }

private:
    QString name_ = QStringLiteral("raw");
};

}  // namespace

class TestRecords : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    int stores_ = 0;

    // A fresh database file and a spool of its own.
    QString freshUrl() { return QStringLiteral("sqlite:%1/db%2/records.sqlite").arg(dir_.path()).arg(++stores_); }

    void openStore(TRecordStore &store, const QString &url)
    {
        store.setSpoolPath(dir_.filePath(QStringLiteral("spool%1.sqlite").arg(stores_)));
        QString error;
        QVERIFY2(store.open(url, error), qPrintable(error));
        QVERIFY(store.serverUp());
    }

private slots:
    void initTestCase() { QVERIFY(dir_.isValid()); }

    void schemaMadeOnceWithItsVersion()
    {
        const QString url = freshUrl();
        const QString path = url.mid(7);
        const TRunRecord first = Run(UniqueId(1), "TM-000001", "L1", true);
        {
            TRecordStore store;
            openStore(store, url);
            QVERIFY(store.write(first));
        }
        {
            TRecordStore again;
            openStore(again, url);
            QCOMPARE(AllRuns(again).size(), 1);
        }
        RawSqlite raw(path);
        QCOMPARE(raw.column("SELECT version FROM schema_version"), QVariantList{TRecordStore::kSchemaVersion});
        QCOMPARE(raw.column("SELECT record_id FROM runs"), QVariantList{first.recordId});
        // A later program's schema is not written over.
        QVERIFY(raw.exec("UPDATE schema_version SET version = 2"));
        TRecordStore newer;
        newer.setSpoolPath(dir_.filePath("spool-newer.sqlite"));
        QString error;
        QVERIFY(!newer.open(url, error));
        QVERIFY2(error.contains("schema version 2; this program writes version 1"), qPrintable(error));
    }

    void everyFieldKept()
    {
        TRecordStore store;
        openStore(store, freshUrl());
        TRunRecord failed = Run(UniqueId(2), "TM-000002", "L1", false);
        failed.bootloaderVersion = -1;  // never read: NULL in the table
        failed.rework = true;
        failed.cause = QStringLiteral("says \"no\", then\nnothing");
        const TRunRecord passed = Run(UniqueId(3), "", "L1", true, failed.startedUtc.addSecs(1));
        QVERIFY(store.write(failed));
        QVERIFY(store.write(passed));
        const QList<TRunRecord> runs = AllRuns(store);
        QCOMPARE(runs.size(), 2);
        QCOMPARE(RunRecordJson(runs[0]), RunRecordJson(failed));
        QCOMPARE(RunRecordJson(runs[1]), RunRecordJson(passed));
        QVERIFY(RunRecordJson(runs[0]).value("bootloader_version").isNull());
    }

    void sentTwiceStoredOnce()
    {
        TRecordStore store;
        openStore(store, freshUrl());
        const TRunRecord r = Run(UniqueId(4), "TM-000004", "L1", true);
        QVERIFY(store.write(r));
        QVERIFY(store.write(r));
        QCOMPARE(AllRuns(store).size(), 1);
        QVERIFY(store.serverUp());
        QCOMPARE(store.spooled(), 0);
    }

    void malformedRecordsRefused_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("reason");
        QTest::newRow("lower-case unique ID") << "unique_id" << UniqueId(5).toLower() << "unique_id \"";
        QTest::newRow("short unique ID") << "unique_id"
                                         << "0048002A"
                                         << "is not 24 upper-case hex digits";
        QTest::newRow("result") << "result"
                                << "ok"
                                << "result \"ok\" is neither passed nor failed";
        QTest::newRow("no record_id") << "record_id"
                                      << ""
                                      << "the record has no record_id";
    }

    void malformedRecordsRefused()
    {
        QFETCH(QString, field);
        QFETCH(QString, value);
        QFETCH(QString, reason);
        TRecordStore store;
        openStore(store, freshUrl());
        QJsonObject o = RunRecordJson(Run(UniqueId(5), "", "L1", true));
        o[field] = value;
        TRunRecord r;
        QVERIFY(RunRecordFromJson(o, r));
        QVERIFY(!store.write(r));
        QVERIFY2(store.writeError().contains(reason), qPrintable(store.writeError()));
        QCOMPARE(AllRuns(store).size(), 0);
        QCOMPARE(store.spooled(), 0);
    }

    void admitRules()
    {
        TRecordStore store;
        openStore(store, freshUrl());
        const QString a = UniqueId(10), b = UniqueId(11), c = UniqueId(12), d = UniqueId(13);
        QCOMPARE(store.admit(a, "TM-000010", "L1", false), TRecordStore::Admit::Ok);
        QVERIFY(store.write(Run(a, "TM-000010", "L1", true)));
        QVERIFY(store.write(Run(b, "TM-000011", "L1", false)));

        // A board passed in this lot is a duplicate, unless the operator asks for rework.
        QCOMPARE(store.admit(a, "TM-000010", "L1", false), TRecordStore::Admit::DuplicatePassed);
        QCOMPARE(store.admit(a, "TM-000010", "L1", true), TRecordStore::Admit::Ok);
        QCOMPARE(store.admit(a, "TM-000010", "L2", false), TRecordStore::Admit::Ok);
        // A failed board may come again.
        QCOMPARE(store.admit(b, "TM-000011", "L1", false), TRecordStore::Admit::Ok);

        // A label a passed board carries is tied to it; a failed run ties none.
        QString other;
        QCOMPARE(store.admit(c, "TM-000010", "L1", false, &other), TRecordStore::Admit::LabelTiedElsewhere);
        QCOMPARE(other, a);
        QCOMPARE(store.admit(c, "TM-000010", "L1", true), TRecordStore::Admit::LabelTiedElsewhere);
        QCOMPARE(store.admit(d, "TM-000011", "L1", false), TRecordStore::Admit::Ok);
        QCOMPARE(AdmitText(TRecordStore::Admit::LabelTiedElsewhere, c, "TM-000010", a),
                 QStringLiteral("label TM-000010 is tied to board %1, not to %2").arg(a, c));

        // The boards: one row each, first and last seen, the tied label.
        const QDateTime later = QDateTime::currentDateTimeUtc().addSecs(60);
        QVERIFY(store.write(Run(a, "", "L1", false, later)));
        RawSqlite raw(QString(dir_.path() + "/db%1/records.sqlite").arg(stores_));
        QCOMPARE(raw.column("SELECT COUNT(*) FROM boards").value(0).toInt(), 2);
        QCOMPARE(raw.column(QStringLiteral("SELECT label FROM boards WHERE unique_id = '%1'").arg(a)),
                 QVariantList{"TM-000010"});
        QCOMPARE(raw.column(QStringLiteral("SELECT label FROM boards WHERE unique_id = '%1'").arg(b)),
                 QVariantList{""});
        QCOMPARE(raw.column(QStringLiteral("SELECT last_seen FROM boards WHERE unique_id = '%1'").arg(a)),
                 QVariantList{UtcText(later.addMSecs(8123))});
        QVERIFY(raw.column(QStringLiteral("SELECT first_seen FROM boards WHERE unique_id = '%1'").arg(a))
                    .value(0)
                    .toString() < UtcText(later));
    }

    // The export: CSV with a header and quoting, JSON one object per line, the filters.
    void exportForQuality()
    {
        const QString url = freshUrl();
        QList<TRunRecord> written;
        {
            TRecordStore store;
            openStore(store, url);
            const QDateTime january = QDateTime::fromString("2026-01-15T08:00:00.000Z", Qt::ISODateWithMs);
            const QDateTime march = QDateTime::fromString("2026-03-02T09:30:00.250Z", Qt::ISODateWithMs);
            written << Run(UniqueId(20), "TM-000020", "L1", true, january);
            TRunRecord odd = Run(UniqueId(21), "TM,\"21\"", "L2", false, march);
            odd.cause = QStringLiteral("line 1\nline 2, with \"quotes\"");
            written << odd;
            written << Run(UniqueId(22), "TM-000022", "L1", true, march.addSecs(5));
            for (const TRunRecord &r : written)
                QVERIFY(store.write(r));
        }
        const Result csv = RunCli({"records", "--db", url, "--csv"}, QString());
        QVERIFY2(csv.status == 0, qPrintable(Describe(csv)));
        const QList<QStringList> rows = ParseCsv(csv.out);
        QCOMPARE(rows.size(), 4);
        QStringList header;
        for (const TRunColumn &column : kRunColumns)
            header << column.name;
        QCOMPARE(rows[0], header);
        QCOMPARE(rows[2][9], QStringLiteral("TM,\"21\""));
        QCOMPARE(rows[2][19], QStringLiteral("line 1\nline 2, with \"quotes\""));
        QCOMPARE(rows[1][0], written[0].recordId);
        QCOMPARE(rows[1][15], QStringLiteral("true"));
        QVERIFY(csv.out.contains("\"TM,\"\"21\"\"\""));

        const Result lot = RunCli({"records", "--db", url, "--lot", "L1", "--json"}, QString());
        QVERIFY2(lot.status == 0, qPrintable(Describe(lot)));
        const QStringList lines = lot.out.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2);
        QCOMPARE(QJsonDocument::fromJson(lines[0].toUtf8()).object(), RunRecordJson(written[0]));
        QCOMPARE(QJsonDocument::fromJson(lines[1].toUtf8()).object(), RunRecordJson(written[2]));

        const Result since = RunCli({"records", "--db", url, "--since", "2026-02-01T00:00:00Z", "--csv"}, QString());
        QCOMPARE(since.status, 0);
        const QList<QStringList> later = ParseCsv(since.out);
        QCOMPARE(later.size(), 3);
        QCOMPARE(later[1][0], written[1].recordId);
        QCOMPARE(later[2][0], written[2].recordId);

        const Result both = RunCli({"records", "--db", url, "--lot", "L2", "--since", "2026-03-02T09:30:00.250Z"},
                                   QString());
        QCOMPARE(both.status, 0);
        QCOMPARE(both.out.count('\n'), 1);
        QVERIFY2(both.out.contains("board " + UniqueId(21) + " label TM,\"21\" failed 8123 ms at flash: "),
                 qPrintable(both.out));
    }

    void exportRefusals_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("reason");
        const QString missing = QDir::tempPath() + "/talvex-no-such-dir/records.sqlite";
        QTest::newRow("no --db") << QStringList{"records"} << 2 << "records needs --db URL";
        QTest::newRow("unknown scheme") << QStringList{"records", "--db", "mysql://a/b"} << 2
                                        << "is neither sqlite:PATH nor postgresql://USER@HOST/DB";
        QTest::newRow("no database named")
            << QStringList{"records", "--db", "postgresql://u@h/"} << 2 << "names no database";
        QTest::newRow("bad time") << QStringList{"records", "--db", "sqlite:x", "--since", "yesterday"} << 2
                                  << "--since: \"yesterday\" is not a date or time";
        QTest::newRow("csv and json") << QStringList{"records", "--db", "sqlite:x", "--csv", "--json"} << 2
                                      << "records writes CSV or JSON, not both";
        QTest::newRow("no such file") << QStringList{"records", "--db", "sqlite:" + missing} << 1
                                      << missing + ": no such file";
    }

    void exportRefusals()
    {
        QFETCH(QStringList, args);
        QFETCH(int, status);
        QFETCH(QString, reason);
        const Result r = RunCli(args, QString());
        QVERIFY2(r.status == status, qPrintable(Describe(r)));
        QVERIFY2(r.err.contains(reason), qPrintable(r.err));
        // A mistyped path leaves nothing behind.
        QVERIFY(!QFileInfo::exists(QDir::tempPath() + "/talvex-no-such-dir"));
    }
};

QTEST_GUILESS_MAIN(TestRecords)
#include "tst_records.moc"
