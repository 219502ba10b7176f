#pragma once
// A throwaway PostgreSQL server for a test: its own cluster in a temporary
// folder, listening only on a Unix socket in that folder, started and stopped
// by the test. Run as root (as CI runs), the server runs as "nobody", since
// PostgreSQL refuses to run as root.
#include <QString>
#include <QTemporaryDir>

class PostgresServer {
public:
    // The superuser initdb makes; the URL connects as it.
    static constexpr const char *kUser = "talvex";

    PostgresServer() = default;
    ~PostgresServer();
    PostgresServer(const PostgresServer &) = delete;
    PostgresServer &operator=(const PostgresServer &) = delete;

    // The folder of initdb and pg_ctl (TALVEX_PG_BIN, or the newest
    // /usr/lib/postgresql/N/bin), or empty when PostgreSQL is not installed.
    static QString BinDir();

    // The first start makes the cluster. False with the reason (the server's log included).
    bool start(QString &error);
    // A fast stop: the server ends every connection and goes.
    bool stop(QString &error);
    bool running() const { return running_; }

    bool createDatabase(const QString &name, QString &error);
    // "postgresql:///NAME?host=SOCKETDIR&user=talvex".
    QString url(const QString &database) const;
    QString folder() const { return dir_.path(); }

private:
    // `program` from the server's folder, as the server's user; false with its output.
    bool run(const QString &program, const QStringList &args, QString &error, int timeoutMs);
    bool makeCluster(QString &error);

    QTemporaryDir dir_;
    bool made_ = false;
    bool running_ = false;
};
