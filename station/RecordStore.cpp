#include "station/RecordStore.h"

#include "station/RecordSql.h"
#include "station/RecordsUrl.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>

namespace {

// Each store has its own pair of Qt SQL connections, named after a count.
int gStores = 0;

// The spool: records in the order they were made, each under its UUID.
const char *const kCreateSpool =
    "CREATE TABLE IF NOT EXISTS spool (seq INTEGER PRIMARY KEY AUTOINCREMENT, record_id TEXT NOT NULL UNIQUE,"
    " record TEXT NOT NULL)";

// A record the tables would refuse would wait in the spool for ever.
bool Storable(const TRunRecord &r, QString &why)
{
    if (r.recordId.isEmpty())
        why = QStringLiteral("the record has no record_id");
    else if (!r.startedUtc.isValid())
        why = QStringLiteral("the record has no start time");
    else if (!r.uniqueId.isEmpty() && !IsUniqueIdText(r.uniqueId))
        why = QStringLiteral("unique_id \"%1\" is not 24 upper-case hex digits").arg(r.uniqueId);
    else if (r.result != kResultPassed && r.result != kResultFailed)
        why = QStringLiteral("result \"%1\" is neither passed nor failed").arg(r.result);
    else
        return true;
    return false;
}

}  // namespace

TRecordStore::TRecordStore(QObject *parent) : QObject(parent)
{
    const int n = ++gStores;
    connection_ = QStringLiteral("talvex-records-%1").arg(n);
    spoolConnection_ = QStringLiteral("talvex-spool-%1").arg(n);
    retry_.setInterval(kDefaultRetryMs);
    QObject::connect(&retry_, &QTimer::timeout, this, &TRecordStore::retry);
}

TRecordStore::~TRecordStore()
{
    for (const QString &name : {connection_, spoolConnection_}) {
        if (QSqlDatabase::contains(name)) {
            QSqlDatabase::database(name, false).close();
            QSqlDatabase::removeDatabase(name);
        }
    }
}

QSqlDatabase TRecordStore::database() const
{
    return QSqlDatabase::database(connection_, false);
}

QSqlDatabase TRecordStore::spoolDatabase() const
{
    return QSqlDatabase::database(spoolConnection_, false);
}

bool TRecordStore::connectDatabase(QString &error)
{
    TRecordsUrl url;
    if (!ParseRecordsUrl(url_, url, error))
        return false;
    if (!QSqlDatabase::isDriverAvailable(url.driver)) {
        error = QStringLiteral("Qt's %1 driver is not installed (%2)")
                    .arg(url.driver, url.driver == QLatin1String("QPSQL") ? QStringLiteral("libqt6sql6-psql")
                                                                          : QStringLiteral("libqt6sql6-sqlite"));
        return false;
    }
    if (!QSqlDatabase::contains(connection_))
        QSqlDatabase::addDatabase(url.driver, connection_);
    QSqlDatabase db = database();
    db.close();
    db.setDatabaseName(url.database);
    db.setHostName(url.host);
    db.setPort(url.port);
    db.setUserName(url.user);
    db.setPassword(url.password);
    if (url.driver == QLatin1String("QPSQL"))
        db.setConnectOptions(QStringLiteral("connect_timeout=%1").arg(kConnectTimeoutS));
    if (!db.open()) {
        error = QStringLiteral("%1: %2").arg(RecordsUrlShown(url_), SqlReason(db.lastError()));
        return false;
    }
    return true;
}

// The database reached and its schema ours, created on first use.
bool TRecordStore::connect(QString &error)
{
    if (!connectDatabase(error))
        return false;
    QSqlDatabase db = database();
    int version = 0;
    if (!ReadSchemaVersion(db, version, error))
        return false;
    if (version == 0 && !CreateRecordSchema(db, kSchemaVersion, error))
        return false;
    if (version > kSchemaVersion) {
        error = QStringLiteral("%1 holds records of schema version %2; this program writes version %3")
                    .arg(RecordsUrlShown(url_))
                    .arg(version)
                    .arg(kSchemaVersion);
        return false;
    }
    return true;
}

bool TRecordStore::open(const QString &url, QString &error)
{
    url_ = url;
    TRecordsUrl parsed;
    if (!ParseRecordsUrl(url, parsed, error))
        return false;
    if (parsed.driver == QLatin1String("QSQLITE") && !QDir().mkpath(QFileInfo(parsed.database).absolutePath())) {
        error = QStringLiteral("cannot make the folder of %1").arg(parsed.database);
        return false;
    }
    if (spoolPath_.isEmpty())
        spoolPath_ = DefaultSpoolPath(url);
    if (!connect(error))
        return false;
    up_ = true;
    // What an earlier run could not send goes first.
    if (QFileInfo::exists(spoolPath_)) {
        if (!openSpool(error))
            return false;
        int sent = 0;
        QString why;
        if (!sendSpool(sent, why))
            lose(why);
    }
    return true;
}

bool TRecordStore::openToRead(const QString &url, QString &error)
{
    url_ = url;
    TRecordsUrl parsed;
    if (!ParseRecordsUrl(url, parsed, error))
        return false;
    // A mistyped path must not leave an empty database behind.
    if (parsed.driver == QLatin1String("QSQLITE") && !QFileInfo::exists(parsed.database)) {
        error = QStringLiteral("%1: no such file").arg(parsed.database);
        return false;
    }
    if (!connectDatabase(error))
        return false;
    int version = 0;
    if (!ReadSchemaVersion(database(), version, error))
        return false;
    if (version == 0 || version > kSchemaVersion) {
        error = version == 0 ? QStringLiteral("%1 holds no station records").arg(RecordsUrlShown(url))
                             : QStringLiteral("%1 holds records of schema version %2; this program reads version %3")
                                   .arg(RecordsUrlShown(url))
                                   .arg(version)
                                   .arg(kSchemaVersion);
        return false;
    }
    return true;
}

bool TRecordStore::openSpool(QString &error)
{
    if (QSqlDatabase::contains(spoolConnection_) && spoolDatabase().isOpen())
        return true;
    if (!QDir().mkpath(QFileInfo(spoolPath_).absolutePath())) {
        error = QStringLiteral("cannot make the folder of the spool %1").arg(spoolPath_);
        return false;
    }
    if (!QSqlDatabase::contains(spoolConnection_))
        QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), spoolConnection_);
    QSqlDatabase db = spoolDatabase();
    db.setDatabaseName(spoolPath_);
    QSqlQuery q(db);
    if (!db.open() || !q.exec(QString::fromLatin1(kCreateSpool)) ||
        !q.exec(QStringLiteral("SELECT COUNT(*) FROM spool")) || !q.next()) {
        error = QStringLiteral("the spool %1: %2")
                    .arg(spoolPath_, SqlReason(q.lastError().isValid() ? q.lastError() : db.lastError()));
        return false;
    }
    spooled_ = q.value(0).toInt();
    return true;
}

bool TRecordStore::spool(const TRunRecord &record)
{
    QString error;
    if (!openSpool(error)) {
        writeError_ = error;
        return false;
    }
    QSqlQuery q(spoolDatabase());
    // The same record spooled again (a caller's retry) stays one entry.
    q.prepare(QStringLiteral("INSERT INTO spool (record_id, record) VALUES (?, ?) ON CONFLICT (record_id) DO NOTHING"));
    q.addBindValue(record.recordId);
    q.addBindValue(QString::fromUtf8(QJsonDocument(RunRecordJson(record)).toJson(QJsonDocument::Compact)));
    if (!q.exec()) {
        writeError_ = QStringLiteral("the spool %1: %2").arg(spoolPath_, SqlReason(q.lastError()));
        return false;
    }
    spooled_ += q.numRowsAffected() > 0 ? 1 : 0;
    return true;
}

bool TRecordStore::write(const TRunRecord &record)
{
    writeError_.clear();
    if (!Storable(record, writeError_))
        return false;
    if (up_) {
        QSqlDatabase db = database();
        bool fresh = false;
        QString why;
        if (StoreRunRecord(db, record, fresh, why))
            return true;
        lose(why);
    }
    return spool(record);
}

bool TRecordStore::sendSpool(int &sent, QString &why)
{
    QSqlDatabase db = database();
    QSqlQuery pending(spoolDatabase());
    pending.setForwardOnly(true);
    if (!pending.exec(QStringLiteral("SELECT seq, record FROM spool ORDER BY seq"))) {
        why = QStringLiteral("the spool %1: %2").arg(spoolPath_, SqlReason(pending.lastError()));
        return false;
    }
    QList<QPair<qlonglong, QByteArray>> entries;
    while (pending.next())
        entries.append({pending.value(0).toLongLong(), pending.value(1).toString().toUtf8()});
    pending.finish();
    for (const auto &[seq, text] : entries) {
        TRunRecord record;
        if (!RunRecordFromJson(QJsonDocument::fromJson(text).object(), record)) {
            why = QStringLiteral("the spool %1: entry %2 is not a record").arg(spoolPath_).arg(seq);
            return false;
        }
        bool fresh = false;
        if (!StoreRunRecord(db, record, fresh, why))
            return false;
        // Only now, after the commit: a crash between the two sends it again,
        // and the server keeps the first.
        QSqlQuery done(spoolDatabase());
        done.prepare(QStringLiteral("DELETE FROM spool WHERE seq = ?"));
        done.addBindValue(seq);
        if (!done.exec()) {
            why = QStringLiteral("the spool %1: %2").arg(spoolPath_, SqlReason(done.lastError()));
            return false;
        }
        --spooled_;
        ++sent;
    }
    return true;
}

void TRecordStore::lose(const QString &why)
{
    const bool wasUp = up_;
    up_ = false;
    lostReason_ = why;
    if (!retry_.isActive())
        retry_.start();
    if (wasUp)
        emit serverLost(why);
}

void TRecordStore::retry()
{
    QString why;
    if (!connect(why)) {
        lostReason_ = why;
        return;
    }
    int sent = 0;
    if (!sendSpool(sent, why)) {
        lostReason_ = why;
        return;
    }
    retry_.stop();
    up_ = true;
    lostReason_.clear();
    emit serverBack(sent);
}

TRecordStore::Admit TRecordStore::admit(const QString &uniqueId, const QString &label, const QString &lot, bool rework,
                                        QString *other) const
{
    if (!up_)
        return Admit::Unavailable;
    const QSqlDatabase db = database();
    if (!rework) {
        QSqlQuery q(db);
        q.prepare(QStringLiteral("SELECT 1 FROM runs WHERE lot = ? AND unique_id = ? AND result = ? LIMIT 1"));
        q.addBindValue(lot);
        q.addBindValue(uniqueId);
        q.addBindValue(kResultPassed);
        if (!q.exec())
            return Admit::Unavailable;
        if (q.next())
            return Admit::DuplicatePassed;
    }
    if (!label.isEmpty()) {
        QSqlQuery q(db);
        q.prepare(QStringLiteral("SELECT unique_id FROM boards WHERE label = ? AND unique_id <> ? LIMIT 1"));
        q.addBindValue(label);
        q.addBindValue(uniqueId);
        if (!q.exec())
            return Admit::Unavailable;
        if (q.next()) {
            if (other)
                *other = q.value(0).toString();
            return Admit::LabelTiedElsewhere;
        }
    }
    return Admit::Ok;
}

bool TRecordStore::readRuns(const TRunFilter &filter, const std::function<bool(const TRunRecord &)> &each,
                            QString &error) const
{
    QStringList where;
    if (!filter.lot.isEmpty())
        where << QStringLiteral("lot = ?");
    if (filter.since.isValid())
        where << QStringLiteral("started_utc >= ?");
    QSqlQuery q(database());
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT %1 FROM runs%2 ORDER BY started_utc, record_id")
                  .arg(RunColumnList(),
                       where.isEmpty() ? QString() : QStringLiteral(" WHERE ") + where.join(QStringLiteral(" AND "))));
    if (!filter.lot.isEmpty())
        q.addBindValue(filter.lot);
    if (filter.since.isValid())
        q.addBindValue(UtcText(filter.since));
    if (!q.exec()) {
        error = SqlReason(q.lastError());
        return false;
    }
    while (q.next()) {
        TRunRecord record;
        if (!RunRecordOfRow(q, record)) {
            error = QStringLiteral("a row of runs does not read as a record");
            return false;
        }
        if (!each(record))
            break;
    }
    return true;
}

QString AdmitText(TRecordStore::Admit admit, const QString &uniqueId, const QString &label, const QString &other)
{
    switch (admit) {
    case TRecordStore::Admit::Ok:
        return QStringLiteral("admitted");
    case TRecordStore::Admit::DuplicatePassed:
        return QStringLiteral("duplicate: board %1 already passed in this lot (rework not asked for)").arg(uniqueId);
    case TRecordStore::Admit::LabelTiedElsewhere:
        return QStringLiteral("label %1 is tied to board %2, not to %3").arg(label, other, uniqueId);
    case TRecordStore::Admit::Unavailable:
        break;
    }
    return QStringLiteral("the records database is away; no board is taken until it is back");
}
