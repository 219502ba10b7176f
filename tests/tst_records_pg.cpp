// The records on a real PostgreSQL server that the test starts itself: the same
// store as on SQLite, then the server stopped in the middle of a lot. Records
// wait in the spool, none is lost and none stored twice, the store says the
// server went and came back, and the lot carries on after the restart.
#include "station/RecordStore.h"
#include "tests/support/PostgresServer.h"
#include "tests/support/RecordSamples.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

// The store tries the server again this often here (5 s at a station).
constexpr int kRetryMs = 100;
constexpr int kBackWithinMs = 15000;
const QString kLot = QStringLiteral("2026-W19-B");

}  // namespace

class TestRecordsPg : public QObject {
    Q_OBJECT

    PostgresServer server_;
    QTemporaryDir local_;  // the spools

    void startServer()
    {
        QString error;
        QVERIFY2(server_.start(error), qPrintable(error));
    }

    void stopServer()
    {
        QString error;
        QVERIFY2(server_.stop(error), qPrintable(error));
    }

private slots:
    void initTestCase()
    {
        if (PostgresServer::BinDir().isEmpty())
            QSKIP("PostgreSQL's programs (initdb, pg_ctl) are not installed: make deps installs postgresql");
        QVERIFY(local_.isValid());
        startServer();
        QString error;
        QVERIFY2(server_.createDatabase("line", error), qPrintable(error));
    }

    void schemaAndAdmitRules()
    {
        TRecordStore store;
        store.setSpoolPath(local_.filePath("spool-rules.sqlite"));
        QString error;
        QVERIFY2(store.open(server_.url("line"), error), qPrintable(error));
        const QString a = UniqueId(1), b = UniqueId(2);
        const TRunRecord passed = Run(a, "TM-100001", "rules", true);
        QVERIFY(store.write(passed));
        QVERIFY(store.write(passed));  // sent twice, stored once
        QCOMPARE(AllRuns(store).size(), 1);
        QCOMPARE(RunRecordJson(AllRuns(store).value(0)), RunRecordJson(passed));
        QCOMPARE(store.admit(a, "TM-100001", "rules", false), TRecordStore::Admit::DuplicatePassed);
        QCOMPARE(store.admit(a, "TM-100001", "rules", true), TRecordStore::Admit::Ok);
        QString other;
        QCOMPARE(store.admit(b, "TM-100001", "rules", false, &other), TRecordStore::Admit::LabelTiedElsewhere);
        QCOMPARE(other, a);

        // A second station on the same server finds the schema made, and the same rules.
        TRecordStore second;
        second.setSpoolPath(local_.filePath("spool-rules2.sqlite"));
        QVERIFY2(second.open(server_.url("line"), error), qPrintable(error));
        QCOMPARE(second.admit(a, "", "rules", false), TRecordStore::Admit::DuplicatePassed);
    }

    void serverStoppedInTheMiddleOfALot()
    {
        TRecordStore store;
        store.setSpoolPath(local_.filePath("spool-lot.sqlite"));
        store.setRetryIntervalMs(kRetryMs);
        QString error;
        QVERIFY2(store.open(server_.url("line"), error), qPrintable(error));
        QSignalSpy lost(&store, &TRecordStore::serverLost);
        QSignalSpy back(&store, &TRecordStore::serverBack);

        QList<TRunRecord> made;
        const auto record = [&](int board, bool passed) {
            made << Run(UniqueId(100 + board), QStringLiteral("TM-2%1").arg(board, 5, 10, QLatin1Char('0')), kLot,
                        passed);
            return store.write(made.last());
        };
        for (int n = 1; n <= 3; ++n)
            QVERIFY(record(n, n != 2));
        QVERIFY(store.serverUp());

        stopServer();
        for (int n = 4; n <= 6; ++n)
            QVERIFY(record(n, true));  // kept, in the spool
        QVERIFY(!store.serverUp());
        QCOMPARE(store.spooled(), 3);
        QCOMPARE(lost.size(), 1);
        QVERIFY(!lost.first().first().toString().isEmpty());
        // Nothing can be judged while the server is away: no board is taken.
        QCOMPARE(store.admit(UniqueId(107), "", kLot, false), TRecordStore::Admit::Unavailable);
        // The timer keeps trying, and keeps failing, while it is down.
        QTest::qWait(5 * kRetryMs);
        QVERIFY(!store.serverUp());
        QCOMPARE(back.size(), 0);

        startServer();
        QVERIFY(back.wait(kBackWithinMs) || back.size() == 1);
        QCOMPARE(back.size(), 1);
        QCOMPARE(back.first().first().toInt(), 3);
        QVERIFY(store.serverUp());
        QCOMPARE(store.spooled(), 0);
        QCOMPARE(lost.size(), 1);

        // The lot carries on, and the rules see the records that waited.
        QCOMPARE(store.admit(UniqueId(105), "", kLot, false), TRecordStore::Admit::DuplicatePassed);
        QVERIFY(record(7, true));
        QVERIFY(store.serverUp());

        QList<TRunRecord> stored;
        QVERIFY(store.readRuns(
            {kLot, {}},
            [&](const TRunRecord &r) {
                stored << r;
                return true;
            },
            error));
        QCOMPARE(stored.size(), made.size());
        QCOMPARE(RecordIds(stored), RecordIds(made));
    }

    // A station that ended with records in its spool (the server away, or gone
    // between a commit and the spool's delete) sends them at its next start; a
    // record the server has already is kept once.
    void spoolLeftByAnEarlierRun()
    {
        const QString spool = local_.filePath("spool-crash.sqlite");
        const QString copy = local_.filePath("spool-crash-copy.sqlite");
        const TRunRecord early = Run(UniqueId(300), "TM-300000", "crash", true);
        const TRunRecord late = Run(UniqueId(301), "TM-300001", "crash", true);
        {
            TRecordStore store;
            store.setSpoolPath(spool);
            store.setRetryIntervalMs(kRetryMs);
            QString error;
            QVERIFY2(store.open(server_.url("line"), error), qPrintable(error));
            stopServer();
            QVERIFY(store.write(early));
            QVERIFY(store.write(late));
            QCOMPARE(store.spooled(), 2);
        }
        // As the spool stood before the store went: both waiting.
        QVERIFY(QFile::copy(spool, copy));

        startServer();
        {
            TRecordStore store;
            store.setSpoolPath(spool);
            QString error;
            QVERIFY2(store.open(server_.url("line"), error), qPrintable(error));
            QVERIFY(store.serverUp());
            QCOMPARE(store.spooled(), 0);
        }
        // Once more, as if the first sending had committed and then died before the delete.
        {
            TRecordStore store;
            store.setSpoolPath(copy);
            QString error;
            QVERIFY2(store.open(server_.url("line"), error), qPrintable(error));
            QCOMPARE(store.spooled(), 0);
            QList<TRunRecord> stored;
            QVERIFY(store.readRuns(
                {"crash", {}},
                [&](const TRunRecord &r) {
                    stored << r;
                    return true;
                },
                error));
            QCOMPARE(stored.size(), 2);
            QCOMPARE(RecordIds(stored), RecordIds({early, late}));
        }
    }

    // A station starting while its server is away says so and does not start.
    void serverAwayAtTheStart()
    {
        stopServer();
        TRecordStore store;
        store.setSpoolPath(local_.filePath("spool-away.sqlite"));
        QString error;
        QVERIFY(!store.open(server_.url("line"), error));
        QVERIFY2(error.startsWith(server_.url("line")), qPrintable(error));
        startServer();
    }
};

QTEST_GUILESS_MAIN(TestRecordsPg)
#include "tst_records_pg.moc"
