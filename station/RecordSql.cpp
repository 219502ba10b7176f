#include "station/RecordSql.h"

#include <QJsonObject>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

namespace {

// Written for both servers: TEXT, BIGINT, INTEGER and BOOLEAN mean the same to
// each, and the times are ISO 8601 texts in UTC, which sort as they read.
const char *const kCreateStatements[] = {
    "CREATE TABLE schema_version (version INTEGER NOT NULL)",
    "CREATE TABLE runs ("
    " record_id TEXT PRIMARY KEY,"
    " started_utc TEXT NOT NULL,"
    " duration_ms BIGINT NOT NULL,"
    " host TEXT NOT NULL,"
    " slot TEXT NOT NULL,"
    " port TEXT NOT NULL,"
    " port_by_id TEXT NOT NULL,"
    " operator TEXT NOT NULL,"
    " lot TEXT NOT NULL,"
    " label TEXT NOT NULL,"
    " unique_id TEXT NOT NULL CHECK (unique_id = '' OR length(unique_id) = 24),"
    " bootloader_version INTEGER,"
    " image_sha256 TEXT NOT NULL,"
    " settings_written TEXT NOT NULL,"
    " settings_read_back TEXT NOT NULL,"
    " verified BOOLEAN NOT NULL,"
    " rework BOOLEAN NOT NULL,"
    " result TEXT NOT NULL CHECK (result IN ('passed', 'failed')),"
    " failed_stage TEXT NOT NULL,"
    " cause TEXT NOT NULL)",
    // A board's label is tied to its unique ID by its first passed run.
    "CREATE TABLE boards ("
    " unique_id TEXT PRIMARY KEY,"
    " label TEXT NOT NULL,"
    " first_seen TEXT NOT NULL,"
    " last_seen TEXT NOT NULL)",
    "CREATE INDEX runs_lot_unique_id ON runs (lot, unique_id)",
    "CREATE INDEX runs_started_utc ON runs (started_utc)",
    "CREATE INDEX boards_label ON boards (label)",
};

// A board seen again keeps its first time and takes the later last time; its
// label changes only with a passed run that carries one.
const char *const kUpsertBoard =
    "INSERT INTO boards (unique_id, label, first_seen, last_seen) VALUES (?, ?, ?, ?)"
    " ON CONFLICT (unique_id) DO UPDATE SET"
    " label = CASE WHEN excluded.label <> '' THEN excluded.label ELSE boards.label END,"
    " first_seen = CASE WHEN excluded.first_seen < boards.first_seen THEN excluded.first_seen"
    " ELSE boards.first_seen END,"
    " last_seen = CASE WHEN excluded.last_seen > boards.last_seen THEN excluded.last_seen ELSE boards.last_seen END";

QVariant ValueOf(const QJsonValue &value, TColumnType type)
{
    switch (type) {
    case TColumnType::Text:
        return value.toString();
    case TColumnType::Boolean:
        return value.toBool();
    case TColumnType::Integer:
        break;
    }
    return value.isNull() ? QVariant(QMetaType::fromType<qlonglong>()) : QVariant(qlonglong(value.toDouble()));
}

bool Fail(QString &error, const QSqlError &why)
{
    error = SqlReason(why);
    return false;
}

// Ends a transaction that failed: the connection may be gone already.
bool Abandon(QSqlDatabase &db, QString &error, const QSqlError &why)
{
    Fail(error, why);
    db.rollback();
    return false;
}

}  // namespace

QString SqlReason(const QSqlError &error)
{
    const QString text = error.text().simplified();
    return text.isEmpty() ? QStringLiteral("the database gave no reason") : text;
}

QString RunColumnList()
{
    QStringList names;
    for (const TRunColumn &column : kRunColumns)
        names << QString::fromLatin1(column.name);
    return names.join(QStringLiteral(", "));
}

bool ReadSchemaVersion(const QSqlDatabase &db, int &version, QString &error)
{
    version = 0;
    if (!db.tables().contains(QStringLiteral("schema_version"))) {
        if (db.lastError().isValid())
            return Fail(error, db.lastError());
        return true;
    }
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SELECT MAX(version) FROM schema_version")))
        return Fail(error, q.lastError());
    version = q.next() ? q.value(0).toInt() : 0;
    return true;
}

bool CreateRecordSchema(QSqlDatabase &db, int version, QString &error)
{
    if (!db.transaction())
        return Fail(error, db.lastError());
    QSqlQuery q(db);
    for (const char *statement : kCreateStatements)
        if (!q.exec(QString::fromLatin1(statement)))
            return Abandon(db, error, q.lastError());
    q.prepare(QStringLiteral("INSERT INTO schema_version (version) VALUES (?)"));
    q.addBindValue(version);
    if (!q.exec())
        return Abandon(db, error, q.lastError());
    if (!db.commit())
        return Abandon(db, error, db.lastError());
    return true;
}

bool StoreRunRecord(QSqlDatabase &db, const TRunRecord &record, bool &fresh, QString &error)
{
    fresh = false;
    if (!db.transaction())
        return Fail(error, db.lastError());
    const QJsonObject row = RunRecordJson(record);
    QSqlQuery q(db);
    QStringList marks;
    for (size_t i = 0; i < kRunColumns.size(); ++i)
        marks << QStringLiteral("?");
    q.prepare(QStringLiteral("INSERT INTO runs (%1) VALUES (%2) ON CONFLICT (record_id) DO NOTHING")
                  .arg(RunColumnList(), marks.join(QStringLiteral(", "))));
    for (const TRunColumn &column : kRunColumns)
        q.addBindValue(ValueOf(row.value(QLatin1String(column.name)), column.type));
    if (!q.exec())
        return Abandon(db, error, q.lastError());
    fresh = q.numRowsAffected() > 0;
    if (fresh && !record.uniqueId.isEmpty()) {
        QSqlQuery board(db);
        board.prepare(QString::fromLatin1(kUpsertBoard));
        board.addBindValue(record.uniqueId);
        // Not a null QString (a passed board without a label has one): that binds as NULL.
        const QString label = record.result == kResultPassed ? record.label : QString();
        board.addBindValue(label.isEmpty() ? QStringLiteral("") : label);
        board.addBindValue(UtcText(record.startedUtc));
        board.addBindValue(UtcText(record.startedUtc.addMSecs(record.durationMs)));
        if (!board.exec())
            return Abandon(db, error, board.lastError());
    }
    if (!db.commit())
        return Abandon(db, error, db.lastError());
    return true;
}

bool RunRecordOfRow(const QSqlQuery &query, TRunRecord &record)
{
    QJsonObject row;
    for (int i = 0; i < int(kRunColumns.size()); ++i) {
        const TRunColumn &column = kRunColumns[size_t(i)];
        const QVariant v = query.value(i);
        const QString name = QString::fromLatin1(column.name);
        switch (column.type) {
        case TColumnType::Text:
            row[name] = v.toString();
            break;
        case TColumnType::Boolean:
            row[name] = v.toBool();
            break;
        case TColumnType::Integer:
            row[name] = v.isNull() ? QJsonValue() : QJsonValue(v.toLongLong());
            break;
        }
    }
    return RunRecordFromJson(row, record);
}
