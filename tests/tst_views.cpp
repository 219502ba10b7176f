// The trend and trace windows of the main window, fed by the simulated module.
#include "modbus/Frames.h"
#include "serial/LineTap.h"
#include "tests/support/MainWindowTest.h"
#include "tests/support/SimFixture.h"
#include "trend/CsvRecord.h"
#include "ui/Trace.h"
#include "ui/Trend.h"

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QWheelEvent>

namespace {

constexpr int kReplyBytes = kReadReplyOverhead + 2 * kPollRegisterCount;

// What the poll read, told from the line itself: every whole reply with a good CRC.
class ReplyRecorder : public LineTap {
public:
    void Sent(const uint8_t *, int32_t, int32_t) override { take(), rx_.clear(); }
    void Received(const uint8_t *data, int32_t count) override { rx_.insert(rx_.end(), data, data + count); }
    // The values of each reply, in the trend's channel order.
    QList<TChannelValues> Replies()
    {
        take();
        return replies_;
    }

private:
    void take()
    {
        if (rx_.size() != size_t(kReplyBytes) || !CrcMatches(rx_.data(), rx_.size()))
            return;
        uint16_t words[kPollRegisterCount];
        for (int i = 0; i < kPollRegisterCount; ++i)
            words[i] = GetWordBE(&rx_[3 + 2 * i]);
        replies_.append(ChannelValues(words));
        rx_.clear();
    }
    std::vector<uint8_t> rx_;
    QList<TChannelValues> replies_;
};

QStringList ReadLines(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
}

void Wait(int ms)
{
    QTest::qWait(ms);
}

}  // namespace

class TestViews : public UpdateWindowsTest {
    Q_OBJECT
    QTemporaryDir dir;

private slots:
    void initTestCase()
    {
        // The user's engineering units stay out of the tests.
        QStandardPaths::setTestModeEnabled(true);
        SaveChannelUnits(TChannelUnits{});
    }

    // The window holds every value the poll read, in order, and redraws a few times a second at most.
    void trendHoldsThePolledPoints()
    {
        SimFixture sim;
        ReplyRecorder line;
        form->ComDriver.SetTap(&line);
        form->TrendButton->click();
        TTrendFrm *trend = form->TrendFrm;
        QVERIFY(trend && trend->isVisible());
        QCOMPARE(trend->objectName(), QString("TrendFrm"));
        QCOMPARE(trend->windowTitle(), QString("趋势图"));
        QVERIFY(!trend->isModal());
        connectAndWait(3);
        const int redraws = trend->Redraws();
        Wait(2000);
        // One redraw every 250 ms at most, however often the poll reads.
        QVERIFY2(trend->Redraws() - redraws <= 2000 / TTrendFrm::kRedrawIntervalMs + 1,
                 qPrintable(QString::number(trend->Redraws() - redraws)));
        form->SpeedButton1->click();  // disconnect: no further reads
        form->ComDriver.SetTap(nullptr);
        const QList<TChannelValues> replies = line.Replies();
        const TTrendRing &ring = trend->Ring();
        QVERIFY2(ring.Size() >= 20, qPrintable(QString::number(ring.Size())));
        // A reply may have come in after the last tick that fetched one.
        QVERIFY(size_t(replies.size()) == ring.Size() || size_t(replies.size()) == ring.Size() + 1);
        QSet<uint16_t> ad0;
        for (size_t i = 0; i < ring.Size(); ++i) {
            QVERIFY(ring.At(i).Values == replies[int(i)]);
            ad0.insert(ring.At(i).Values[0]);
            if (i)
                QVERIFY(ring.At(i).TimeMs >= ring.At(i - 1).TimeMs);
        }
        QVERIFY(ad0.size() > 1);  // the inputs moved
    }

    void pauseHoldsTheChartAndResumeCatchesUp()
    {
        SimFixture sim;
        form->TrendButton->click();
        TTrendFrm *trend = form->TrendFrm;
        connectAndWait(3);
        QTRY_VERIFY(trend->Series[0]->count() >= 3);
        trend->PauseButton->click();
        QVERIFY(trend->Paused());
        QCOMPARE(trend->PauseButton->text(), QString("继续"));
        const int drawn = trend->Series[0]->count();
        const size_t held = trend->Ring().Size();
        Wait(800);
        QCOMPARE(trend->Series[0]->count(), drawn);
        QVERIFY(trend->Ring().Size() > held + 5);  // the samples go on into the ring
        trend->PauseButton->click();
        QVERIFY(!trend->Paused());
        QCOMPARE(trend->PauseButton->text(), QString("暂停"));
        QVERIFY(trend->Series[0]->count() > drawn);
        QCOMPARE(qint64(trend->Series[0]->at(trend->Series[0]->count() - 1).x()), trend->Ring().Newest().TimeMs);
        // Ten minutes shown by default, ending with the newest sample.
        QCOMPARE(trend->VisibleTo() - trend->VisibleFrom(), qint64(10 * 60 * 1000));
        // A channel unchecked is drawn no more; the gains replace the values on request.
        trend->ChannelBoxes[1]->click();
        QCOMPARE(trend->Series[1]->count(), 0);
        trend->OutputBox->SetItemIndex(1);
        QCOMPARE(trend->ChannelOfSeries(8), 12);
        QCOMPARE(trend->Series[8]->at(0).y(), 100.0);  // G0 at power-up
    }

    void exportsThePictureAndTheVisibleSpan()
    {
        SimFixture sim;
        form->TrendButton->click();
        TTrendFrm *trend = form->TrendFrm;
        connectAndWait(20);
        trend->Redraw();
        const QString png = dir.path() + "/trend.png";
        const QString csv = dir.path() + "/trend.csv";
        QString asked;
        trend->AskFileName = [&](const QString &, const QString &filter) {
            asked = filter;
            return filter.contains("png") ? png : csv;
        };
        trend->PngButton->click();
        const QImage image(png);
        QVERIFY(!image.isNull());
        QSet<QRgb> colours;
        for (int y = 0; y < image.height(); y += 2)
            for (int x = 0; x < image.width(); x += 2)
                colours.insert(image.pixel(x, y));
        QVERIFY2(colours.size() > 10, qPrintable(QString::number(colours.size())));
        QVERIFY(colours.contains(trend->Series[0]->color().rgb()));  // AD0's line is drawn

        form->SpeedButton1->click();  // the ring stands still while it is compared
        // A stretch zoomed into: the export holds that stretch, not the whole ring.
        const TTrendRing &ring = trend->Ring();
        trend->TimeAxis->setRange(QDateTime::fromMSecsSinceEpoch(ring.At(ring.Size() / 4).TimeMs),
                                  QDateTime::fromMSecsSinceEpoch(ring.At(3 * ring.Size() / 4).TimeMs));
        emit trend->ChartView->userMoved();
        trend->Redraw();
        QVERIFY(!trend->Following());
        trend->CsvButton->click();
        const QStringList rows = ReadLines(csv);
        QCOMPARE(rows.value(0), CsvHeader(trend->Units()));
        const qint64 from = trend->VisibleFrom(), to = trend->VisibleTo();
        QStringList expected{CsvHeader(trend->Units())};
        for (size_t i = 0; i < trend->Ring().Size(); ++i) {
            const TTrendSample &s = trend->Ring().At(i);
            if (s.TimeMs >= from && s.TimeMs <= to)
                expected << CsvRow(QDateTime::fromMSecsSinceEpoch(s.TimeMs, Qt::UTC), s.Values, trend->Units());
        }
        QVERIFY(expected.size() > 3 && size_t(expected.size()) < trend->Ring().Size() + 1);
        QCOMPARE(rows, expected);
        trend->ResetButton->click();
        QVERIFY(trend->Following());

        // The wheel zooms in, the right button drags the view along; the reset follows again.
        QWidget *view = trend->ChartView->viewport();
        const QPoint centre = view->rect().center();
        const qint64 span = trend->VisibleTo() - trend->VisibleFrom();
        QWheelEvent wheel(centre, view->mapToGlobal(centre), {}, {0, 120}, Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(view, &wheel);
        QVERIFY(!trend->Following());
        QVERIFY(trend->VisibleTo() - trend->VisibleFrom() < span * 9 / 10);
        const qint64 zoomedTo = trend->VisibleTo();
        QTest::mousePress(view, Qt::RightButton, {}, centre);
        QTest::mouseMove(view, centre + QPoint(100, 0));
        QTest::mouseRelease(view, Qt::RightButton, {}, centre + QPoint(100, 0));
        QVERIFY(trend->VisibleTo() < zoomedTo);  // dragged to the right: earlier times
        trend->ResetButton->click();
        QVERIFY(trend->Following());
        QCOMPARE(trend->VisibleTo() - trend->VisibleFrom(), span);
    }

    // Recording while the module's DA0 register follows a ramp set on its command channel.
    void recordingFollowsARamp()
    {
        SimFixture sim;
        form->TrendButton->click();
        TTrendFrm *trend = form->TrendFrm;
        connectAndWait(3);
        const QString path = dir.path() + "/ramp.csv";
        trend->AskFileName = [&](const QString &, const QString &) { return path; };
        trend->RecordButton->click();
        QVERIFY(trend->Recording());
        QCOMPARE(trend->RecordButton->text(), QString("停止录制"));
        const QList<int> ramp{0, 250, 500, 750, 1000, 1250, 1500, 1750, 2000};
        for (int v : ramp) {
            sim->command("set 10 " + std::to_string(v));
            QTRY_COMPARE_WITH_TIMEOUT(int(trend->Ring().Newest().Values[8]), v, 3000);
            // Each value over a few reads, as a ramp of steps.
            const size_t at = trend->Ring().Size();
            QTRY_VERIFY(trend->Ring().Size() >= at + 2);
        }
        trend->RecordButton->click();
        QVERIFY(!trend->Recording());
        const QStringList rows = ReadLines(path);
        QCOMPARE(rows.value(0), QString("time,AD0,AD1,AD2,AD3,AD4,AD5,AD6,AD7,DA0,DA1,DA2,DA3,G0,G1,G2,G3"));
        QCOMPARE(rows.size() - 1, trend->RecordedRows());
        QList<int> steps;
        for (int i = 1; i < rows.size(); ++i) {
            const int da0 = rows[i].split(',').value(9).toInt();
            if (steps.isEmpty() || steps.last() != da0)
                steps << da0;
        }
        QCOMPARE(steps, ramp);
    }

    void engineeringUnitsScaleTheRows()
    {
        TChannelUnits units;
        units[0] = {"Pressure", 0.01, -1, "bar"};
        units[8] = {{}, 0.001, 0, "mA"};
        QCOMPARE(ChannelTitle(0, units[0]), QString("Pressure [bar]"));
        QCOMPARE(CsvHeader(units).section(',', 0, 1), QString("time,Pressure [bar]"));
        QCOMPARE(CsvHeader(units).section(',', 9, 9), QString("DA0 [mA]"));
        TChannelValues v{};
        v[0] = 250;
        v[8] = 12000;
        const QStringList row = CsvRow(QDateTime::fromMSecsSinceEpoch(0, Qt::UTC), v, units).split(',');
        QCOMPARE(row[0], QString("1970-01-01T00:00:00.000Z"));
        QCOMPARE(row[1], QString("1.5"));
        QCOMPARE(row[9], QString("12"));
        QCOMPARE(row[2], QString("0"));  // raw counts elsewhere
        // Kept in the user's settings.
        SaveChannelUnits(units);
        const TChannelUnits back = LoadChannelUnits();
        QCOMPARE(back[0].Name, QString("Pressure"));
        QCOMPARE(back[0].Scale, 0.01);
        QCOMPARE(back[0].Offset, -1.0);
        QCOMPARE(back[8].Unit, QString("mA"));
        QVERIFY(back[1].Raw());
        SaveChannelUnits(TChannelUnits{});
    }

    void ringStaysBounded()
    {
        TTrendRing ring(100);
        for (int i = 0; i < 1000; ++i) {
            TTrendSample s;
            s.TimeMs = i;
            s.Values[0] = uint16_t(i);
            ring.Append(s);
        }
        QCOMPARE(ring.Size(), size_t(100));
        QCOMPARE(ring.At(0).TimeMs, qint64(900));
        QCOMPARE(ring.Newest().TimeMs, qint64(999));
        QCOMPARE(ring.FirstAtOrAfter(950), size_t(50));
        QCOMPARE(ring.FirstAtOrAfter(5000), size_t(100));
    }

    // The trace window listens only while shown; it shows both windows' exchanges.
    void traceWindowShowsTheLine()
    {
        talvex::sim::SimOptions options;
        options.com = 2;
        options.faults.corruptEvery = 3;
        SimFixture sim(options);
        QVERIFY(form->ComDriver.Tap() == nullptr);
        form->TraceButton->click();
        TTraceFrm *trace = form->TraceFrm;
        QVERIFY(trace && trace->isVisible());
        QCOMPARE(trace->objectName(), QString("TraceFrm"));
        QCOMPARE(trace->windowTitle(), QString("通信监视"));
        QVERIFY(form->ComDriver.Tap() != nullptr);
        QVERIFY(frm->ComDriver.Tap() != nullptr);
        connectAndWait(6);
        QTRY_VERIFY(trace->Filter().rowCount() >= 12);
        form->SpeedButton1->click();
        Wait(2 * TTraceModel::kBatchIntervalMs);
        trace->Model().Flush();
        const int all = trace->Filter().rowCount();
        const QString first =
            trace->Model().data(trace->Model().index(0, TTraceModel::kMeaning), Qt::DisplayRole).toString();
        QVERIFY2(first.startsWith("request: station 1, read registers (3), address 0, count 32"), qPrintable(first));

        // Only failed exchanges: every third reply's CRC was spoiled.
        trace->FailedOnlyBox->click();
        const int failed = trace->Filter().rowCount();
        QVERIFY2(failed > 0 && failed < all, qPrintable(QString("%1 of %2").arg(failed).arg(all)));
        for (const QString &l : trace->ShownLines())
            QVERIFY2(l.contains("CRC bad") || l.contains("request"), qPrintable(l));
        trace->FailedOnlyBox->click();
        QCOMPARE(trace->Filter().rowCount(), all);

        // Saved as the table shows it.
        const QString saved = dir.path() + "/trace.txt";
        trace->AskFileName = [&] { return saved; };
        trace->SaveButton->click();
        QCOMPARE(ReadLines(saved), trace->ShownLines());

        // Paused, nothing is added; cleared, nothing is left.
        trace->PauseButton->click();
        QVERIFY(trace->Paused());
        connectAndWait(form->ExchangeCount + 3);
        Wait(2 * TTraceModel::kBatchIntervalMs);
        QCOMPARE(trace->Filter().rowCount(), all);
        form->SpeedButton1->click();
        trace->PauseButton->click();
        trace->ClearButton->click();
        QCOMPARE(trace->Filter().rowCount(), 0);

        // The firmware window's exchanges come in too.
        skipLineWaits();
        startUpdate();
        QTRY_VERIFY_WITH_TIMEOUT(trace->ShownLines().join('\n').contains("command Get ID"), 10000);
        const QStringList lines = trace->ShownLines();
        QVERIFY2(lines.value(0).startsWith("boot") && lines.value(0).endsWith("| sync"), qPrintable(lines.value(0)));
        frm->OvertimeT.stop();
        frm->Timer5.stop();

        // Hidden, nobody listens.
        trace->hide();
        QVERIFY(form->ComDriver.Tap() == nullptr);
        QVERIFY(frm->ComDriver.Tap() == nullptr);
    }
};

QTEST_MAIN(TestViews)
#include "tst_views.moc"
