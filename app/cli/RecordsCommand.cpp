// records --db URL [--lot L] [--since T] [--json|--csv]: the station's runs for
// the quality department, oldest first.
#include "app/cli/Commands.h"
#include "station/RecordStore.h"
#include "station/RecordsUrl.h"

#include <QJsonValue>
#include <QStringList>

namespace talvex::cli {

namespace {

// RFC 4180: a field with a comma, a quote or a line break goes in quotes, its
// quotes doubled; every other field as it is.
QString CsvField(const QString &text)
{
    if (!text.contains(',') && !text.contains('"') && !text.contains('\n') && !text.contains('\r'))
        return text;
    return '"' + QString(text).replace('"', QStringLiteral("\"\"")) + '"';
}

QString CsvText(const QJsonValue &value)
{
    if (value.isBool())
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    if (value.isDouble())
        return QString::number(qint64(value.toDouble()));
    return value.toString();  // null: an empty field
}

QString CsvRow(const QJsonObject &row)
{
    QStringList fields;
    for (const TRunColumn &column : kRunColumns)
        fields << CsvField(CsvText(row.value(QLatin1String(column.name))));
    return fields.join(',');
}

QString CsvHeader()
{
    QStringList names;
    for (const TRunColumn &column : kRunColumns)
        names << QString::fromLatin1(column.name);
    return names.join(',');
}

// One line a person reads: when, where, which board, and how it ended (a cause
// of several lines on this one).
QString TextLine(const TRunRecord &r)
{
    QString line = QStringLiteral("%1 lot %2 slot %3 %4 board %5 label %6 %7 %8 ms")
                       .arg(UtcText(r.startedUtc), r.lot, r.slot, r.port,
                            r.uniqueId.isEmpty() ? QStringLiteral("-") : r.uniqueId,
                            r.label.isEmpty() ? QStringLiteral("-") : r.label, r.result)
                       .arg(r.durationMs);
    if (r.result == kResultFailed)
        line += QStringLiteral(" at %1: %2").arg(r.failedStage, r.cause.simplified());
    return line;
}

}  // namespace

int RunRecords(const Options &o, Output &out)
{
    TRecordsUrl url;
    QString error;
    if (!ParseRecordsUrl(o.db, url, error))
        return out.fail(kExitUsage, QStringLiteral("usage"), error);
    TRecordStore store;
    if (!store.openToRead(o.db, error))
        return out.fail(kExitFailed, QStringLiteral("records"), error);
    if (o.csv)
        out.result(CsvHeader(), {});
    int count = 0;
    const bool read = store.readRuns(
        TRunFilter{o.lot, o.since},
        [&](const TRunRecord &record) {
            const QJsonObject row = RunRecordJson(record);
            out.result(o.csv ? CsvRow(row) : TextLine(record), o.csv ? QJsonObject() : row);
            ++count;
            return !out.lost();
        },
        error);
    if (!read)
        return out.fail(kExitFailed, QStringLiteral("records"), error);
    out.note(QStringLiteral("%1 run(s)").arg(count));
    return kExitDone;
}

}  // namespace talvex::cli
