#include "station/RecordsUrl.h"

#include <QCryptographicHash>
#include <QDir>
#include <QUrl>
#include <QUrlQuery>

namespace {

constexpr int kMaxPort = 65535;
// Enough of the URL's digest to keep two databases' spools apart.
constexpr int kSpoolNameDigits = 16;

QString XdgFolder(const char *variable, const QString &fallback)
{
    const QString given = qEnvironmentVariable(variable);
    // XDG: a relative path in these variables is to be ignored.
    return !given.isEmpty() && QDir::isAbsolutePath(given) ? given : QDir::homePath() + fallback;
}

bool ParsePostgresql(const QString &text, TRecordsUrl &out, QString &error)
{
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid()) {
        error = QStringLiteral("--db: \"%1\" is not a valid URL: %2").arg(RecordsUrlShown(text), url.errorString());
        return false;
    }
    out.driver = QStringLiteral("QPSQL");
    out.database = url.path(QUrl::FullyDecoded).mid(1);
    out.host = url.host(QUrl::FullyDecoded);
    out.port = url.port(-1);
    out.user = url.userName(QUrl::FullyDecoded);
    out.password = url.password(QUrl::FullyDecoded);
    const QUrlQuery query(url);
    for (const auto &[key, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (key == QLatin1String("host")) {
            out.host = value;
        } else if (key == QLatin1String("user")) {
            out.user = value;
        } else if (key == QLatin1String("port")) {
            bool ok = false;
            out.port = value.toInt(&ok);
            if (!ok || out.port < 1 || out.port > kMaxPort) {
                error = QStringLiteral("--db: port \"%1\" is not 1 ... %2").arg(value).arg(kMaxPort);
                return false;
            }
        } else {
            error = QStringLiteral("--db: unknown parameter \"%1\" (host, port and user are taken)").arg(key);
            return false;
        }
    }
    if (out.database.isEmpty() || out.database.contains('/')) {
        error = QStringLiteral("--db: \"%1\" names no database (postgresql://USER@HOST/DB or "
                               "postgresql:///DB?host=SOCKETDIR)")
                    .arg(RecordsUrlShown(text));
        return false;
    }
    return true;
}

}  // namespace

bool ParseRecordsUrl(const QString &url, TRecordsUrl &out, QString &error)
{
    out = {};
    if (url.startsWith(QLatin1String("sqlite:"))) {
        out.driver = QStringLiteral("QSQLITE");
        out.database = url.mid(int(qstrlen("sqlite:")));
        if (out.database.isEmpty()) {
            error = QStringLiteral("--db: sqlite: needs a file (sqlite:PATH)");
            return false;
        }
        return true;
    }
    if (url.startsWith(QLatin1String("postgresql://")) || url.startsWith(QLatin1String("postgres://")))
        return ParsePostgresql(url, out, error);
    error =
        QStringLiteral("--db: \"%1\" is neither sqlite:PATH nor postgresql://USER@HOST/DB").arg(RecordsUrlShown(url));
    return false;
}

QString RecordsUrlShown(const QString &url)
{
    if (url.startsWith(QLatin1String("sqlite:")))
        return url;
    QUrl shown(url);
    if (!shown.password().isEmpty())
        shown.setPassword(QStringLiteral("***"));
    return shown.isValid() ? shown.toString() : url;
}

QString DefaultRecordsUrl()
{
    return QStringLiteral("sqlite:") + XdgFolder("XDG_DATA_HOME", QStringLiteral("/.local/share")) +
           QStringLiteral("/talvex/records.sqlite");
}

QString DefaultSpoolPath(const QString &url)
{
    const QByteArray digest = QCryptographicHash::hash(RecordsUrlShown(url).toUtf8(), QCryptographicHash::Sha256);
    return XdgFolder("XDG_STATE_HOME", QStringLiteral("/.local/state")) + QStringLiteral("/talvex/spool-") +
           QString::fromLatin1(digest.toHex().left(kSpoolNameDigits)) + QStringLiteral(".sqlite");
}
