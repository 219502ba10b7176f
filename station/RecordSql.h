#pragma once
// The records' tables and statements, the same for SQLite and PostgreSQL: plain
// types, prepared statements with bound values, one transaction per record, and
// inserts that leave a record already stored alone, so sending one twice
// stores it once.
#include "station/RunRecord.h"

#include <QSqlDatabase>
#include <QString>

// The schema's version, or 0 when the database has none yet.
bool ReadSchemaVersion(const QSqlDatabase &db, int &version, QString &error);

// Creates `runs`, `boards`, their indexes and `schema_version` holding `version`,
// in one transaction.
bool CreateRecordSchema(QSqlDatabase &db, int version, QString &error);

// The record and its board in one transaction. `fresh` is false when a record
// with its record_id was stored before (nothing is changed then).
bool StoreRunRecord(QSqlDatabase &db, const TRunRecord &record, bool &fresh, QString &error);

// The columns of kRunColumns joined: "record_id, started_utc, ...".
QString RunColumnList();

// A row selected with RunColumnList(), as a record.
bool RunRecordOfRow(const class QSqlQuery &query, TRunRecord &record);

// "the database said: ..." from the driver's error.
QString SqlReason(const class QSqlError &error);
