#include "app/cli/Output.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace talvex::cli {

namespace {
const char kProgramPrefix[] = "talvex-cli: ";
// The exit status of a command whose result could not be written (kExitFailed).
constexpr int kLostExit = 1;

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
    if (log_ >= 0)
        ::close(log_);
}

bool Output::openLog(const QString &path, QString &error)
{
    log_ = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (log_ < 0) {
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

// One record, one write(): with O_APPEND it lands whole after whatever other
// processes appended, never interleaved with theirs. Then fsync(), so that a
// power cut right after the command said "done" cannot take the record with it.
void Output::appendToLog(const QJsonObject &object)
{
    if (log_ < 0 || object.isEmpty())
        return;
    const QByteArray line = JsonLine(object);
    ssize_t n = -1;
    do
        n = ::write(log_, line.constData(), size_t(line.size()));
    while (n < 0 && errno == EINTR);
    const bool whole = n == line.size();
    const int writeErrno = whole ? 0 : (n < 0 ? errno : ENOSPC);
    if (whole && ::fsync(log_) == 0)
        return;
    if (lostReason_.isEmpty())
        lostReason_ = QStringLiteral("cannot append to the log %1: %2")
                          .arg(logPath_, QString::fromLocal8Bit(std::strerror(whole ? errno : writeErrno)));
}

void Output::result(const QString &text, const QJsonObject &object)
{
    endProgress();
    const QString line = json_ ? QString::fromUtf8(JsonLine(object)) : text.endsWith('\n') ? text : text + '\n';
    if (write(out_, line)) {
        appendToLog(object);
        return;
    }
    const QString reason = QStringLiteral("cannot write the result to standard output: %1")
                               .arg(QString::fromLocal8Bit(std::strerror(errno)));
    if (lostReason_.isEmpty())
        lostReason_ = reason;
    // The record says what was done and that its result never reached the caller.
    QJsonObject logged = object;
    logged["output_error"] = reason;
    logged["exit"] = kLostExit;
    appendToLog(logged);
}

int Output::failLost(int exit)
{
    endProgress();
    if (json_)
        write(err_, QString::fromUtf8(JsonLine({{"error", lostReason_}, {"stage", "output"}, {"exit", exit}})));
    else
        write(err_, QLatin1String(kProgramPrefix) + lostReason_ + '\n');
    return exit;
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
