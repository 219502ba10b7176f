#include "tests/support/PostgresServer.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// initdb takes a few seconds on a loaded machine; a start or stop far less.
constexpr int kInitdbTimeoutMs = 60000;
constexpr int kServerTimeoutMs = 30000;
constexpr const char *kUnprivilegedUser = "nobody";

QString DataDir(const QString &folder)
{
    return folder + QStringLiteral("/data");
}

}  // namespace

PostgresServer::~PostgresServer()
{
    QString ignored;
    if (running_)
        stop(ignored);
}

QString PostgresServer::BinDir()
{
    const QString given = qEnvironmentVariable("TALVEX_PG_BIN");
    if (!given.isEmpty())
        return QFile::exists(given + QStringLiteral("/pg_ctl")) ? given : QString();
    QDir versions(QStringLiteral("/usr/lib/postgresql"));
    QStringList names = versions.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    // Newest first: "15" before "13".
    std::sort(names.begin(), names.end(), [](const QString &a, const QString &b) { return a.toInt() > b.toInt(); });
    for (const QString &version : names) {
        const QString bin = versions.filePath(version + QStringLiteral("/bin"));
        if (QFile::exists(bin + QStringLiteral("/initdb")) && QFile::exists(bin + QStringLiteral("/pg_ctl")))
            return bin;
    }
    return {};
}

bool PostgresServer::run(const QString &program, const QStringList &args, QString &error, int timeoutMs)
{
    const QString path = BinDir() + '/' + program;
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.setWorkingDirectory(dir_.path());
    if (geteuid() == 0)
        p.start(QStringLiteral("runuser"), QStringList{"-u", kUnprivilegedUser, "--", path} + args);
    else
        p.start(path, args);
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        error = QStringLiteral("%1 did not finish: %2").arg(program, p.errorString());
        return false;
    }
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        error =
            QStringLiteral("%1 failed (%2): %3").arg(program).arg(p.exitCode()).arg(QString::fromLocal8Bit(p.readAll()));
        return false;
    }
    return true;
}

bool PostgresServer::makeCluster(QString &error)
{
    if (!dir_.isValid()) {
        error = QStringLiteral("no temporary folder: %1").arg(dir_.errorString());
        return false;
    }
    const QByteArray folder = QFile::encodeName(dir_.path());
    // The server's user owns the folder; others may reach the socket in it.
    if (geteuid() == 0) {
        const passwd *user = getpwnam(kUnprivilegedUser);
        if (!user || chown(folder.constData(), user->pw_uid, user->pw_gid) != 0) {
            error = QStringLiteral("cannot give %1 to user %2").arg(dir_.path(), kUnprivilegedUser);
            return false;
        }
    }
    chmod(folder.constData(), 0755);
    if (!run(QStringLiteral("initdb"),
             {"-D", DataDir(dir_.path()), "-U", kUser, "--auth=trust", "--locale=C", "-E", "UTF8", "--no-sync"}, error,
             kInitdbTimeoutMs))
        return false;
    // A Unix socket in the test's own folder and no TCP port: tests running at
    // once each have their own server. Durability is not what is tested here.
    QFile conf(DataDir(dir_.path()) + QStringLiteral("/postgresql.conf"));
    if (!conf.open(QIODevice::Append)) {
        error = QStringLiteral("cannot add to %1").arg(conf.fileName());
        return false;
    }
    conf.write(QStringLiteral("listen_addresses = ''\nunix_socket_directories = '%1'\nfsync = off\n")
                   .arg(dir_.path())
                   .toUtf8());
    made_ = true;
    return true;
}

bool PostgresServer::start(QString &error)
{
    if (BinDir().isEmpty()) {
        error = QStringLiteral("PostgreSQL's programs are not installed");
        return false;
    }
    if (!made_ && !makeCluster(error))
        return false;
    const QString log = dir_.path() + QStringLiteral("/server.log");
    if (!run(QStringLiteral("pg_ctl"), {"-D", DataDir(dir_.path()), "-l", log, "-w", "-t", "30", "start"}, error,
             kServerTimeoutMs)) {
        QFile f(log);
        if (f.open(QIODevice::ReadOnly))
            error += QStringLiteral("\n--- server log\n") + QString::fromLocal8Bit(f.readAll());
        return false;
    }
    running_ = true;
    return true;
}

bool PostgresServer::stop(QString &error)
{
    if (!run(QStringLiteral("pg_ctl"), {"-D", DataDir(dir_.path()), "-m", "fast", "-w", "stop"}, error,
             kServerTimeoutMs))
        return false;
    running_ = false;
    return true;
}

bool PostgresServer::createDatabase(const QString &name, QString &error)
{
    return run(QStringLiteral("createdb"), {"-h", dir_.path(), "-U", kUser, name}, error, kServerTimeoutMs);
}

QString PostgresServer::url(const QString &database) const
{
    return QStringLiteral("postgresql:///%1?host=%2&user=%3").arg(database, dir_.path(), QLatin1String(kUser));
}
