#include "Output.h"

#include <QJsonDocument>

#include <unistd.h>

namespace talvex::cli {

namespace {
const char kProgramPrefix[] = "talvex-cli: ";
}

Output::Output(bool json, bool quiet, std::FILE *out, std::FILE *err)
    : json_(json), quiet_(quiet), out_(out), err_(err), errIsTerminal_(isatty(fileno(err)) == 1)
{
}

Output::~Output()
{
    endProgress();
}

void Output::write(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

void Output::result(const QString &text, const QJsonObject &object)
{
    endProgress();
    if (json_) {
        write(out_, QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) + '\n');
        return;
    }
    write(out_, text.endsWith('\n') ? text : text + '\n');
}

void Output::error(const QString &text)
{
    endProgress();
    write(err_, QLatin1String(kProgramPrefix) + text + '\n');
}

void Output::note(const QString &text)
{
    if (quiet_)
        return;
    endProgress();
    write(err_, QLatin1String(kProgramPrefix) + text + '\n');
}

void Output::progress(const QString &stage, const QString &detail)
{
    if (quiet_)
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

} // namespace talvex::cli
