#include "app/cli/Output.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>

#include <cerrno>
#include <cstring>

#include <unistd.h>

namespace talvex::cli {

namespace {
const char kProgramPrefix[] = "talvex-cli: ";

QByteArray JsonLine(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}
}  // namespace

QString NowUtc()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

Output::Output(bool json, bool quiet, std::FILE *out, std::FILE *err)
    : json_(json), quiet_(quiet), out_(out), err_(err), errIsTerminal_(isatty(fileno(err)) == 1)
{
}

Output::~Output()
{
    endProgress();
    if (log_)
        std::fclose(log_);
}

bool Output::openLog(const QString &path, QString &error)
{
    log_ = std::fopen(QFile::encodeName(path).constData(), "a");
    if (!log_) {
        error = QStringLiteral("--log: cannot append to %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    logPath_ = path;
    return true;
}

bool Output::write(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    const bool written = std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream) ==
                         static_cast<size_t>(bytes.size());
    // Flushed at once: a result is only a result once it is out (a full disk says so here).
    const bool flushed = std::fflush(stream) == 0;
    return written && flushed;
}

void Output::appendToLog(const QJsonObject &object)
{
    if (!log_ || object.isEmpty())
        return;
    if (!write(log_, QString::fromUtf8(JsonLine(object))) && lostReason_.isEmpty())
        lostReason_ = QStringLiteral("cannot append to the log %1: %2")
                          .arg(logPath_, QString::fromLocal8Bit(std::strerror(errno)));
}

void Output::result(const QString &text, const QJsonObject &object)
{
    endProgress();
    appendToLog(object);
    const QString line = json_ ? QString::fromUtf8(JsonLine(object)) : text.endsWith('\n') ? text : text + '\n';
    if (!write(out_, line) && lostReason_.isEmpty())
        lostReason_ = QStringLiteral("cannot write the result to standard output: %1")
                          .arg(QString::fromLocal8Bit(std::strerror(errno)));
}

int Output::fail(int exit, const QString &stage, const QString &text, const QJsonObject &record)
{
    endProgress();
    QJsonObject logged = record;
    logged["result"] = QStringLiteral("failed");
    logged["error"] = text;
    logged["stage"] = stage;
    logged["exit"] = exit;
    if (!logged.contains("time"))
        logged["time"] = NowUtc();
    appendToLog(logged);
    if (json_)
        write(err_, QString::fromUtf8(JsonLine({{"error", text}, {"stage", stage}, {"exit", exit}})));
    else
        write(err_, QLatin1String(kProgramPrefix) + text + '\n');
    return exit;
}

void Output::error(const QString &text)
{
    endProgress();
    write(err_, QLatin1String(kProgramPrefix) + text + '\n');
}

void Output::note(const QString &text)
{
    if (quiet_ || json_)
        return;
    endProgress();
    write(err_, QLatin1String(kProgramPrefix) + text + '\n');
}

void Output::progress(const QString &stage, const QString &detail)
{
    // With --json standard error carries only an error's object.
    if (quiet_ || json_)
        return;
    if (errIsTerminal_) {
        // Carriage return and erase-to-end: the line is rewritten in place.
        write(err_, QStringLiteral("\r\x1b[K") + QLatin1String(kProgramPrefix) + stage +
                        (detail.isEmpty() ? QString() : QStringLiteral(" ") + detail));
        progressOpen_ = true;
        return;
    }
    if (stage != lastStage_)
        write(err_, QLatin1String(kProgramPrefix) + stage + '\n');
    lastStage_ = stage;
}

void Output::endProgress()
{
    if (!progressOpen_)
        return;
    progressOpen_ = false;
    write(err_, QStringLiteral("\n"));
}

}  // namespace talvex::cli
