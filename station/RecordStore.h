#pragma once
// A station's records through Qt SQL: SQLite (one file per station) or a
// PostgreSQL server shared by a line. Every attempt is one row of `runs`, each
// board one row of `boards`, both written in one transaction. When the server
// cannot take a record it waits in a local SQLite spool, and a timer sends the
// spool once the server is back; the record's UUID keeps any record from being
// stored twice. Single-threaded: everything runs on the caller's event loop.
#include "station/RunRecord.h"

#include <QDateTime>
#include <QObject>
#include <QSqlDatabase>
#include <QString>
#include <QTimer>

#include <functional>

// What `talvex-cli records` picks: all runs, or those of a lot, or from a time on.
struct TRunFilter {
    QString lot;      // empty: every lot
    QDateTime since;  // invalid: from the first
};

class TRecordStore : public QObject {
    Q_OBJECT

public:
    static constexpr int kSchemaVersion = 1;
    static constexpr int kDefaultRetryMs = 5000;
    // libpq's wait for a server that does not answer, in seconds (its own unit).
    static constexpr int kConnectTimeoutS = 3;

    explicit TRecordStore(QObject *parent = nullptr);
    ~TRecordStore() override;

    // Before open(): where records wait while the server is away (default
    // DefaultSpoolPath(url)), and how often the server is tried again.
    void setSpoolPath(const QString &path) { spoolPath_ = path; }
    void setRetryIntervalMs(int ms) { retry_.setInterval(ms); }

    // url: "sqlite:PATH", "postgresql://USER@HOST[:PORT]/DB", "postgresql:///DB?host=SOCKETDIR".
    // Creates the schema (with its version) on first use, then sends what a
    // spool left from an earlier run holds. False with the reason when the
    // database cannot be reached or holds a schema this program does not know.
    bool open(const QString &url, QString &error);
    // For reading only (the export): nothing is created, no spool is used.
    bool openToRead(const QString &url, QString &error);

    enum class Admit {
        Ok,
        DuplicatePassed,     // the unique ID already passed in this lot, and no rework asked for
        LabelTiedElsewhere,  // the label is tied to another board's unique ID
        Unavailable,         // the server is away: nothing can be judged, no board is to be taken
    };
    // `other`, when given, gets the unique ID a label is tied to.
    Admit admit(const QString &uniqueId, const QString &label, const QString &lot, bool rework,
                QString *other = nullptr) const;

    // Stores the record in one transaction (runs + boards). When the server
    // cannot take it, the record goes to the spool and serverUp() turns false.
    // True = kept somewhere; false when the record is not one the tables take
    // (no record_id, a malformed unique ID, a result neither passed nor failed)
    // or the spool could not take it either: writeError() says which.
    bool write(const TRunRecord &record);
    const QString &writeError() const { return writeError_; }

    // True while records go straight to the database (nothing waits in the spool).
    bool serverUp() const { return up_; }
    int spooled() const { return spooled_; }
    // Why the server is away; empty while it is up.
    const QString &lostReason() const { return lostReason_; }

    // Every run the filter picks, oldest first; `each` returns false to stop.
    // False with the reason when the database cannot be read.
    bool readRuns(const TRunFilter &filter, const std::function<bool(const TRunRecord &)> &each, QString &error) const;

signals:
    void serverLost(const QString &why);
    void serverBack(int sent);  // the spool was sent, `sent` records

private:
    bool connect(QString &error);
    bool connectDatabase(QString &error);
    bool openSpool(QString &error);
    bool spool(const TRunRecord &record);
    // Sends the spool in order, each record removed only after its commit.
    // False when the server failed on the way (what is left stays spooled).
    bool sendSpool(int &sent, QString &why);
    void lose(const QString &why);
    void retry();

    QSqlDatabase database() const;
    QSqlDatabase spoolDatabase() const;

    QString url_;
    QString spoolPath_;
    QString connection_;  // the Qt SQL connection names, one pair per store
    QString spoolConnection_;
    bool up_ = false;
    int spooled_ = 0;
    QString lostReason_;
    QString writeError_;
    QTimer retry_;
};

// In words, for a slot's tile or a line of `talvex-cli station`.
QString AdmitText(TRecordStore::Admit admit, const QString &uniqueId, const QString &label, const QString &other);
