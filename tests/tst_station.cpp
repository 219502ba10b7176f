// The production station on four simulated boards, one of which never answers
// its bootloader: three boards pass and one fails with its stage, each with its
// own unique ID; then the fixture's swaps: a board left on the fixture is left
// alone, the same board put back is not flashed twice, another slot's board is
// refused as a duplicate (and taken with rework), a label already tied to a board
// is refused, and the next board is taken (its label asked for when missing).
// Then the same station on a real PostgreSQL server stopped in the middle of a
// lot: the record made meanwhile waits in the spool, the station takes no new
// board and says so, and carries on when the server is back; nothing is lost,
// nothing stored twice.
#include "tests/support/PostgresServer.h"
#include "tests/support/RecordSamples.h"
#include "tests/support/StationRig.h"

#include <QSet>
#include <QtTest>

namespace {

// A board identifies, flashes and configures in well under a second on the
// simulator; a chip that never answers its bootloader fails after three runs
// of their time-outs.
constexpr int kBoardMs = 15000;
constexpr int kSilentChipMs = 40000;
// Long enough for several looks at the fixture (one every TStationSlot::kProbeIntervalMs).
constexpr int kLeftAloneMs = 1500;
// How often the store tries a server that went away (5 s at a station).
constexpr int kRetryMs = 100;

}  // namespace

class TestStation : public QObject {
    Q_OBJECT

    // Takes the board off slot `slot`'s fixture and waits until the slot has seen it go.
    static void takeAway(StationRig &rig, int slot)
    {
        const int removed = rig.eventCount(slot, TSlotEvent::BoardRemoved);
        rig.sim(slot).removeBoard();
        QTRY_VERIFY_WITH_TIMEOUT(rig.eventCount(slot, TSlotEvent::BoardRemoved) > removed, kBoardMs);
        QCOMPARE(rig.station->slotStatus(slot).state, TSlotState::Waiting);
    }

    // Puts board `id` on slot `slot`'s fixture and waits for its record.
    static TRunRecord putOn(StationRig &rig, int slot, int id)
    {
        const int before = rig.records.size();
        rig.sim(slot).insertBoard(BoardId(id));
        [&] { QTRY_VERIFY_WITH_TIMEOUT(rig.records.size() > before, kBoardMs); }();
        return rig.records.value(before);
    }

private slots:
    void fourSlotsSwapsDuplicatesAndLabels()
    {
        StationRig rig({{1}, {2}, {3}, {4, false}}, TALVEX_STANDIN_IMAGE, {{"label_required", true}});
        QString error;
        QVERIFY2(rig.open("sqlite:" + rig.dir.filePath("records.sqlite"), error), qPrintable(error));
        TStation &station = *rig.station;
        for (int slot = 1; slot <= 4; ++slot)
            QVERIFY(station.setLabel(slot, QStringLiteral("TM-00000%1").arg(slot)));
        QString why;
        QVERIFY(!station.setLabel(1, "X-1", &why));  // the recipe's pattern
        QVERIFY2(why.contains("TM-[0-9]{6}"), qPrintable(why));
        QVERIFY(!station.setLabel(5, "TM-000005", &why));
        QVERIFY2(why.contains("no slot 5"), qPrintable(why));
        station.start();

        // Three pass, the silent chip fails at identify; the others do not wait for it.
        QTRY_VERIFY_WITH_TIMEOUT(rig.records.size() == 3, kBoardMs);
        QVERIFY(station.slotStatus(4).state == TSlotState::Working);
        QTRY_VERIFY_WITH_TIMEOUT(rig.records.size() == 4, kSilentChipMs);
        QSet<QString> ids;
        for (int slot = 1; slot <= 3; ++slot) {
            const TRunRecord r = rig.recordsOf(slot).value(0);
            QCOMPARE(r.result, kResultPassed);
            QCOMPARE(r.uniqueId, BoardIdText(slot));
            QCOMPARE(r.label, QStringLiteral("TM-00000%1").arg(slot));
            QCOMPARE(r.lot, QStringLiteral("LOT-35"));
            QCOMPARE(r.port, QStringLiteral("COM%1").arg(slot));
            QCOMPARE(r.imageSha256, rig.recipe.imageSha256);
            QVERIFY(r.verified);
            QVERIFY(r.bootloaderVersion > 0);
            QCOMPARE(r.settingsWritten, QStringLiteral("{\"can-baud\":6,\"filter\":3,\"station\":7,\"suppress\":20}"));
            QVERIFY2(r.settingsReadBack.contains("\"station\":7") && r.settingsReadBack.contains("\"suppress\":20"),
                     qPrintable(r.settingsReadBack));
            QVERIFY(!r.rework);
            ids << r.uniqueId;
            QCOMPARE(station.slotStatus(slot).state, TSlotState::Passed);
        }
        QCOMPARE(ids.size(), 3);
        const TRunRecord silent = rig.recordsOf(4).value(0);
        QCOMPARE(silent.result, kResultFailed);
        QCOMPARE(silent.failedStage, QStringLiteral("identify"));
        QVERIFY2(silent.cause.contains("no answer to the sync byte"), qPrintable(silent.cause));
        QVERIFY(silent.uniqueId.isEmpty());
        QCOMPARE(station.slotStatus(4).state, TSlotState::Failed);
        QCOMPARE(station.slotStatus(4).stage, TSlotStage::Identify);
        QCOMPARE(station.passed(), 3);
        QCOMPARE(station.failed(), 1);
        QCOMPARE(station.firstPassYield(), 0.75);
        QVERIFY(station.boardsPerHour() > 0);
        QCOMPARE(station.lastRecords().size(), 4);
        QCOMPARE(station.lastRecords().first().recordId, rig.records.last().recordId);

        // Boards left on their fixtures are left alone.
        QTest::qWait(kLeftAloneMs);
        QCOMPARE(rig.records.size(), 4);
        QCOMPARE(rig.eventCount(1, TSlotEvent::BoardFound), 1);

        // The same board put back on its slot is not flashed again.
        takeAway(rig, 1);
        rig.sim(1).insertBoard(BoardId(1));
        QTRY_VERIFY_WITH_TIMEOUT(rig.eventCount(1, TSlotEvent::AlreadyDone) == 1, kBoardMs);
        QCOMPARE(station.slotStatus(1).state, TSlotState::Done);
        QTest::qWait(kLeftAloneMs);
        QCOMPARE(rig.records.size(), 4);

        // Slot 2's board on slot 1: passed in this lot already.
        takeAway(rig, 1);
        QVERIFY(station.setLabel(1, "TM-000002"));
        TRunRecord r = putOn(rig, 1, 2);
        QCOMPARE(r.result, kResultFailed);
        QCOMPARE(r.failedStage, QStringLiteral("admit"));
        QCOMPARE(r.cause, AdmitText(TRecordStore::Admit::DuplicatePassed, BoardIdText(2), "TM-000002", {}));
        QCOMPARE(station.slotStatus(1).state, TSlotState::Failed);

        // A new board with slot 2's label: the label is tied to another board.
        takeAway(rig, 1);
        QVERIFY(station.setLabel(1, "TM-000002"));
        r = putOn(rig, 1, 11);
        QCOMPARE(r.result, kResultFailed);
        QCOMPARE(r.failedStage, QStringLiteral("admit"));
        QCOMPARE(r.uniqueId, BoardIdText(11));
        QCOMPARE(r.cause,
                 AdmitText(TRecordStore::Admit::LabelTiedElsewhere, BoardIdText(11), "TM-000002", BoardIdText(2)));

        // The next board without a label: the slot asks for one, then goes on.
        takeAway(rig, 1);
        rig.sim(1).insertBoard(BoardId(12));
        QTRY_VERIFY_WITH_TIMEOUT(rig.eventCount(1, TSlotEvent::LabelWanted) == 1, kBoardMs);
        QCOMPARE(station.slotStatus(1).state, TSlotState::NeedsLabel);
        QCOMPARE(station.slotStatus(1).uniqueId, BoardIdText(12));
        QCOMPARE(rig.records.size(), 6);
        QVERIFY(station.setLabel(1, "TM-000012"));
        QTRY_VERIFY_WITH_TIMEOUT(rig.records.size() == 7, kBoardMs);
        r = rig.records.last();
        QCOMPARE(r.result, kResultPassed);
        QCOMPARE(r.uniqueId, BoardIdText(12));
        QCOMPARE(r.label, QStringLiteral("TM-000012"));

        // Rework: slot 3's board done again on slot 2, with its own label.
        station.setRework(true);
        takeAway(rig, 2);
        QVERIFY(station.setLabel(2, "TM-000003"));
        r = putOn(rig, 2, 3);
        QCOMPARE(r.result, kResultPassed);
        QCOMPARE(r.uniqueId, BoardIdText(3));
        QVERIFY(r.rework);

        // Everything the station reported is in the database, once.
        QVERIFY(rig.keptAll);
        const QList<TRunRecord> stored = AllRuns(rig.store);
        QCOMPARE(stored.size(), rig.records.size());
        QSet<QString> storedIds;
        for (const TRunRecord &s : stored)
            storedIds << s.recordId;
        for (const TRunRecord &made : rig.records)
            QVERIFY(storedIds.contains(made.recordId));
        QCOMPARE(station.passed(), 5);
        QCOMPARE(station.failed(), 3);
        station.stop();
        QCOMPARE(station.slotStatus(1).state, TSlotState::Stopped);
    }

    // A recipe that asks for protection: the board passes with its settings
    // written and read back, and its chip's flash can no longer be read out.
    void protectsWhenTheRecipeAsks()
    {
        StationRig rig({{1}}, TALVEX_STANDIN_IMAGE, {{"protect", true}});
        QString error;
        QVERIFY2(rig.open("sqlite:" + rig.dir.filePath("records.sqlite"), error), qPrintable(error));
        const auto chipProtected = [&] {
            bool on = false;
            rig.sim(1).withBootloader(
                [&](talvex::sim::BootloaderPersonality &boot) { on = boot.chip().readProtected(); });
            return on;
        };
        QVERIFY(!chipProtected());
        rig.station->start();
        QTRY_VERIFY_WITH_TIMEOUT(rig.records.size() == 1, kBoardMs);
        const TRunRecord r = rig.records.value(0);
        QVERIFY2(r.result == kResultPassed, qPrintable(r.failedStage + ": " + r.cause));
        QVERIFY(r.verified);
        QVERIFY2(r.settingsReadBack.contains("\"station\":7"), qPrintable(r.settingsReadBack));
        QVERIFY(chipProtected());
    }

    void serverStoppedInTheMiddleOfALot()
    {
        if (PostgresServer::BinDir().isEmpty())
            QSKIP("PostgreSQL's programs (initdb, pg_ctl) are not installed: make deps installs postgresql");
        PostgresServer server;
        QString error;
        QVERIFY2(server.start(error), qPrintable(error));
        QVERIFY2(server.createDatabase("line", error), qPrintable(error));
        StationRig rig({{1}, {2}, {3}}, TALVEX_STANDIN_IMAGE);
        QVERIFY2(rig.open(server.url("line"), error, kRetryMs), qPrintable(error));
        TStation &station = *rig.station;
        station.start();
        QTRY_VERIFY_WITH_TIMEOUT(rig.records.size() == 3, kBoardMs);
        QVERIFY(rig.taking.isEmpty());

        // The server goes while slot 1's next board is being configured.
        bool stopped = false;
        QObject::connect(&station, &TStation::slotEvent, [&](int slot, TSlotEvent event) {
            if (!stopped && slot == 1 && event == TSlotEvent::StageStarted &&
                station.slotStatus(1).stage == TSlotStage::Configure) {
                stopped = true;
                QString why;
                if (!server.stop(why))
                    qWarning("pg_ctl stop: %s", qPrintable(why));
            }
        });
        takeAway(rig, 1);
        TRunRecord r = putOn(rig, 1, 21);
        QVERIFY(stopped && !server.running());
        QCOMPARE(r.result, kResultPassed);
        QCOMPARE(r.uniqueId, BoardIdText(21));
        QVERIFY(rig.keptAll);  // in the spool
        QCOMPARE(rig.store.spooled(), 1);
        QCOMPARE(rig.taking.size(), 1);
        QCOMPARE(rig.taking.first().first, false);
        QVERIFY(!rig.taking.first().second.isEmpty());
        QVERIFY(!station.takingBoards());

        // No new board while it is away: the one put on slot 2 waits.
        takeAway(rig, 2);
        rig.sim(2).insertBoard(BoardId(22));
        QTRY_VERIFY_WITH_TIMEOUT(rig.eventCount(2, TSlotEvent::HeldBack) == 1, kBoardMs);
        QCOMPARE(station.slotStatus(2).state, TSlotState::Held);
        QTest::qWait(kLeftAloneMs);
        QCOMPARE(rig.records.size(), 4);

        // Back: the spool is sent, and slot 2's board goes through.
        QVERIFY2(server.start(error), qPrintable(error));
        QTRY_VERIFY_WITH_TIMEOUT(rig.records.size() == 5, kBoardMs);
        QCOMPARE(rig.taking.size(), 2);
        QCOMPARE(rig.taking.last(), qMakePair(true, QString()));
        r = rig.records.last();
        QCOMPARE(r.slot, QStringLiteral("2"));
        QCOMPARE(r.result, kResultPassed);
        QCOMPARE(r.uniqueId, BoardIdText(22));
        QCOMPARE(rig.store.spooled(), 0);
        QVERIFY(rig.store.serverUp());

        // Every record once on the server.
        const QList<TRunRecord> stored = AllRuns(rig.store);
        QSet<QString> storedIds;
        for (const TRunRecord &s : stored)
            storedIds << s.recordId;
        QCOMPARE(storedIds.size(), stored.size());
        QCOMPARE(stored.size(), rig.records.size());
        for (const TRunRecord &made : rig.records)
            QVERIFY(storedIds.contains(made.recordId));
        station.stop();
    }
};

QTEST_MAIN(TestStation)
#include "tst_station.moc"
