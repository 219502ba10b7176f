// station --recipe FILE --ports COM3,COM4,... [--db URL] [--once] [--count N]
// [--operator NAME] [--rework]: the production station from a shell. One line
// per event on standard output (a JSON object with --json); labels from
// standard input, "SLOT LABEL" per line, or just the label with one slot.
#include "app/cli/Commands.h"
#include "app/cli/Interrupt.h"
#include "station/Recipe.h"
#include "station/RecordStore.h"
#include "station/RecordsUrl.h"
#include "station/Station.h"
#include "station/StationSlot.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonArray>
#include <QSet>
#include <QSocketNotifier>
#include <QTimer>

#include <unistd.h>

namespace talvex::cli {

namespace {

// How often the station looks for SIGINT/SIGTERM.
constexpr int kInterruptCheckMs = 100;
constexpr size_t kMaxLabelLine = 256;

QString EventName(TSlotEvent e)
{
    switch (e) {
    case TSlotEvent::BoardFound:
        return QStringLiteral("board");
    case TSlotEvent::Identified:
        return QStringLiteral("identified");
    case TSlotEvent::LabelWanted:
        return QStringLiteral("label-wanted");
    case TSlotEvent::StageStarted:
        return QStringLiteral("stage");
    case TSlotEvent::Passed:
        return QStringLiteral("passed");
    case TSlotEvent::Failed:
        return QStringLiteral("failed");
    case TSlotEvent::AlreadyDone:
        return QStringLiteral("already-done");
    case TSlotEvent::BoardRemoved:
        return QStringLiteral("removed");
    case TSlotEvent::HeldBack:
        return QStringLiteral("held");
    }
    return {};
}

// The line an event makes, in words.
QString EventText(const TStationSlot &slot, TSlotEvent e)
{
    const TSlotStatus &s = slot.status();
    switch (e) {
    case TSlotEvent::BoardFound:
        return QStringLiteral("a board is on the fixture");
    case TSlotEvent::Identified:
        return QStringLiteral("unique ID %1").arg(s.uniqueId);
    case TSlotEvent::LabelWanted:
        return QStringLiteral("board %1 waits for its label (\"%2 LABEL\" on standard input)")
            .arg(s.uniqueId)
            .arg(slot.number());
    case TSlotEvent::StageStarted:
        return SlotStageName(s.stage);
    case TSlotEvent::Passed:
        return QStringLiteral("passed: board %1%2")
            .arg(s.uniqueId, s.label.isEmpty() ? QString() : QStringLiteral(", label ") + s.label);
    case TSlotEvent::Failed:
        return QStringLiteral("failed at %1: %2").arg(SlotStageName(s.stage), s.reason);
    case TSlotEvent::AlreadyDone:
        return QStringLiteral("board %1 was just done here; left alone until it is taken away").arg(s.uniqueId);
    case TSlotEvent::BoardRemoved:
        return QStringLiteral("the board was taken away; waiting for the next");
    case TSlotEvent::HeldBack:
        return QStringLiteral("a board waits: %1")
            .arg(s.reason.isEmpty() ? QStringLiteral("no new board is taken now") : s.reason);
    }
    return {};
}

QString Percent(double fraction)
{
    return fraction < 0 ? QStringLiteral("-") : QStringLiteral("%1 %").arg(fraction * 100.0, 0, 'f', 1);
}

QJsonObject Counts(const TStation &station)
{
    return {{"passed", station.passed()},
            {"failed", station.failed()},
            {"first_pass_yield", station.firstPassYield() < 0 ? QJsonValue() : QJsonValue(station.firstPassYield())},
            {"boards_per_hour", station.boardsPerHour() < 0 ? QJsonValue() : QJsonValue(station.boardsPerHour())}};
}

// Labels typed or scanned on standard input, a line each.
class LabelReader {
public:
    explicit LabelReader(TStation &station, Output &out)
        : station_(station), out_(out), notifier_(STDIN_FILENO, QSocketNotifier::Read)
    {
        QObject::connect(&notifier_, &QSocketNotifier::activated, [this] { readSome(); });
    }

private:
    void readSome()
    {
        char buf[512];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            notifier_.setEnabled(false);  // end of input: the station goes on without labels
            return;
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] != '\n') {
                if (line_.size() < qsizetype(kMaxLabelLine))
                    line_ += buf[i];
                continue;
            }
            take(QString::fromUtf8(line_).trimmed());
            line_.clear();
        }
    }

    void take(const QString &line)
    {
        if (line.isEmpty())
            return;
        const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        int slot = 1;
        QString label = line;
        bool numbered = false;
        if (words.size() >= 2)
            slot = words.front().toInt(&numbered);
        if (numbered) {
            label = line.mid(line.indexOf(QLatin1Char(' '))).trimmed();
        } else if (station_.slotCount() > 1) {
            out_.error(
                QStringLiteral("label \"%1\": with %2 slots give \"SLOT LABEL\"").arg(line).arg(station_.slotCount()));
            return;
        }
        QString why;
        if (!station_.setLabel(slot, label, &why))
            out_.error(QStringLiteral("label \"%1\" for slot %2 refused: %3").arg(label).arg(slot).arg(why));
    }

    TStation &station_;
    Output &out_;
    QSocketNotifier notifier_;
    QByteArray line_;
};

}  // namespace

int RunStation(const Options &o, Output &out)
{
    TRecipe recipe;
    QString error;
    if (!LoadRecipe(o.recipe, recipe, error))
        return out.fail(kExitUsage, QStringLiteral("recipe"),
                        QStringLiteral("%1: %2; no port was opened").arg(o.recipe, error));
    QList<TStationPort> ports;
    QSet<QString> devices;
    for (const QString &name : o.stationPorts) {
        PortTarget target;
        if (!ResolvePort(name, target))
            return out.fail(kExitUsage, QStringLiteral("usage"),
                            QStringLiteral("port \"%1\" is neither COM1 ... COM8 nor a device path").arg(name));
        const QString device = QString::fromStdString(target.device);
        if (devices.contains(device))
            return out.fail(kExitUsage, QStringLiteral("usage"), QStringLiteral("port %1 is given twice").arg(name));
        devices.insert(device);
        ports.append({target.name, target.device});
    }

    TRecordStore store;
    const QString url = o.db.isEmpty() ? DefaultRecordsUrl() : o.db;
    if (!store.open(url, error))
        return out.fail(kExitFailed, QStringLiteral("records"),
                        QStringLiteral("%1: %2").arg(RecordsUrlShown(url), error));

    TStation station(recipe, store, ports);
    station.setOperator(o.operatorName);
    station.setRework(o.rework);

    QEventLoop loop;
    int records = 0;
    int failures = 0;
    QSet<int> slotsDone;  // --once: slots that have finished their board
    const auto line = [&](const QString &text, QJsonObject json) {
        json.insert(QStringLiteral("time"), NowUtc());
        out.result(text, json);
    };
    QObject::connect(&station, &TStation::slotEvent, [&](int number, TSlotEvent e) {
        TStationSlot &slot = station.slotAt(number);
        const TSlotStatus &s = slot.status();
        QJsonObject json{{"event", EventName(e)}, {"slot", number}, {"port", slot.portName()}};
        if (!s.uniqueId.isEmpty())
            json["unique_id"] = s.uniqueId;
        if (!s.label.isEmpty())
            json["label"] = s.label;
        if (e == TSlotEvent::StageStarted || e == TSlotEvent::Failed)
            json["stage"] = SlotStageName(s.stage);
        if (e == TSlotEvent::Failed || e == TSlotEvent::HeldBack)
            json["cause"] = s.reason;
        line(QStringLiteral("slot %1 %2: %3").arg(number).arg(slot.portName(), EventText(slot, e)), json);
        const bool finished = e == TSlotEvent::Passed || e == TSlotEvent::Failed || e == TSlotEvent::AlreadyDone;
        if (o.once && finished) {
            slotsDone.insert(number);
            if (slotsDone.size() == station.slotCount())
                QTimer::singleShot(0, &loop, &QEventLoop::quit);
        }
    });
    QObject::connect(&station, &TStation::recorded, [&](const TRunRecord &r, bool kept) {
        ++records;
        failures += r.result == kResultFailed;
        QJsonObject json = RunRecordJson(r);
        json["event"] = QStringLiteral("record");
        json["kept"] = kept;
        json["spooled"] = !store.serverUp();
        line(QStringLiteral("slot %1 %2: record %3 %4%5")
                 .arg(r.slot, r.port, r.recordId, r.result,
                      kept ? (store.serverUp() ? QString() : QStringLiteral(" (in the spool until the server is back)"))
                           : QStringLiteral(" NOT KEPT: ") + store.writeError()),
             json);
        if (o.stationCount > 0 && records >= o.stationCount)
            QTimer::singleShot(0, &loop, &QEventLoop::quit);
    });
    QObject::connect(&station, &TStation::takingChanged, [&](bool taking, const QString &why) {
        line(taking ? QStringLiteral("station: the records server is back; taking boards again")
                    : QStringLiteral("station: the records server is away (%1); no new board is taken").arg(why),
             {{"event", taking ? QStringLiteral("resumed") : QStringLiteral("held")},
              {"cause", taking ? QJsonValue() : QJsonValue(why)}});
    });

    line(QStringLiteral("station: lot %1, %2 slot(s) on %3, records in %4")
             .arg(recipe.lot)
             .arg(ports.size())
             .arg(o.stationPorts.join(QStringLiteral(",")), RecordsUrlShown(url)),
         {{"event", QStringLiteral("started")},
          {"lot", recipe.lot},
          {"ports", QJsonArray::fromStringList(o.stationPorts)},
          {"db", RecordsUrlShown(url)},
          {"operator", o.operatorName}});
    const LabelReader labels(station, out);
    QTimer interruptCheck;
    QObject::connect(&interruptCheck, &QTimer::timeout, [&] {
        if (Interrupted())
            loop.quit();
    });
    interruptCheck.start(kInterruptCheckMs);
    station.start();
    loop.exec();
    station.stop();

    const QJsonObject counts = Counts(station);
    QJsonObject summary = counts;
    summary["event"] = QStringLiteral("stopped");
    summary["spooled"] = store.spooled();
    line(QStringLiteral("station: passed %1, failed %2, first-pass yield %3, %4 boards per hour%5")
             .arg(station.passed())
             .arg(station.failed())
             .arg(Percent(station.firstPassYield()),
                  station.boardsPerHour() < 0 ? QStringLiteral("-") : QString::number(station.boardsPerHour(), 'f', 0),
                  store.spooled() > 0 ? QStringLiteral("; %1 record(s) wait in the spool").arg(store.spooled())
                                      : QString()),
         summary);
    if (Interrupted())
        return InterruptStatus();
    return station.failed() > 0 ? kExitFailed : kExitDone;
}

}  // namespace talvex::cli
