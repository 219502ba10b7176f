// The firmware window as the window system treats it: a restore from minimised
// keeps the update's result in the status line, and the window is centred by its frame.
#include "tests/support/FirmwareWindowFixture.h"

#include <QScreen>
#include <QtTest/qtestspontaneevent.h>
#include <QtTest>

namespace {

// Counts the show events a widget gets, and how many came from the window system.
struct ShowCounter : QObject {
    int shows = 0;
    int spontaneous = 0;
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() == QEvent::Show) {
            ++shows;
            spontaneous += e->spontaneous() ? 1 : 0;
        }
        return false;
    }
};

}  // namespace

class TestFirmwareWindow : public QObject, FirmwareWindowFixture {
    Q_OBJECT

private slots:
    void init()
    {
        createFirmwareWindowOnDouble();
        frm->Engine.SetSleep([](uint32_t) {});
    }
    void cleanup() { destroyFirmwareWindow(); }

    void restoreKeepsTheResult_data()
    {
        QTest::addColumn<bool>("succeeds");
        QTest::addColumn<QString>("result");
        QTest::newRow("update done") << true << QString("上载完成！");
        QTest::newRow("link failed") << false << QString("连机失败！请检查通信线。");
    }

    void restoreKeepsTheResult()
    {
        QFETCH(bool, succeeds);
        QFETCH(QString, result);
        frm->show();
        QVERIFY(QTest::qWaitForWindowExposed(frm.get()));
        QCOMPARE(frm->Panel1->text(), QString("就绪..."));
        frm->Engine.Start();
        if (succeeds) {
            frm->Engine.Core().JumpToStateForTest(11);
            st.reads.push_back({0x79});
            frm->ComDriver.PollReceive();
        } else {
            for (int tick = 0; tick < 12; ++tick)
                frm->OvertimeTTimer();
        }
        QCOMPARE(frm->Panel1->text(), result);

        ShowCounter counter;
        frm->installEventFilter(&counter);
        // A show event the window system sends ...
        QShowEvent shown;
        QSpontaneKeyEvent::setSpontaneous(&shown);
        QApplication::instance()->notify(frm.get(), &shown);  // sendEvent would clear the mark
        QCOMPARE(frm->Panel1->text(), result);
        // ... and the one a restore from minimised brings.
        frm->setWindowState(Qt::WindowMinimized);
        frm->setWindowState(Qt::WindowNoState);
        QCOMPARE(counter.spontaneous, 2);
        QCOMPARE(frm->Panel1->text(), result);

        // Shown by the program again, it starts afresh.
        frm->hide();
        frm->show();
        QCOMPARE(counter.shows - counter.spontaneous, 1);
        QCOMPARE(frm->Panel1->text(), QString("就绪..."));
    }

    void framePosition_data()
    {
        QTest::addColumn<QRect>("area");
        QTest::addColumn<QSize>("client");
        QTest::addColumn<QMargins>("frame");
        QTest::addColumn<QPoint>("expected");
        QTest::newRow("no frame") << QRect(0, 0, 1920, 1040) << QSize(328, 89) << QMargins() << QPoint(796, 475);
        // Frame 336 x 123: its middle, not the client's, is the middle of the desktop.
        QTest::newRow("title bar and borders")
            << QRect(0, 0, 1920, 1040) << QSize(328, 89) << QMargins(4, 30, 4, 4) << QPoint(792, 458);
        QTest::newRow("desktop beside a panel")
            << QRect(64, 24, 1856, 1056) << QSize(328, 89) << QMargins(1, 23, 1, 1) << QPoint(827, 495);
    }

    void framePosition()
    {
        QFETCH(QRect, area);
        QFETCH(QSize, client);
        QFETCH(QMargins, frame);
        QFETCH(QPoint, expected);
        QCOMPARE(TFirmwareFrm::CentredFramePosition(area, client, frame), expected);
    }

    void shownCentredByItsFrame()
    {
        frm->show();
        QVERIFY(QTest::qWaitForWindowExposed(frm.get()));
        const QRect desktop = QGuiApplication::primaryScreen()->availableGeometry();
        const QPoint offset = frm->frameGeometry().center() - desktop.center();
        QVERIFY2(offset.manhattanLength() <= 2, qPrintable(QString("%1, %2").arg(offset.x()).arg(offset.y())));
    }
};

QTEST_MAIN(TestFirmwareWindow)
#include "tst_firmware_window.moc"
