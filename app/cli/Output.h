#pragma once
// Where talvex-cli says things: results on standard output (text lines, or one
// JSON object per line), errors and progress on standard error.
#include <QJsonObject>
#include <QString>

#include <cstdio>

namespace talvex::cli {

class Output {
public:
    Output(bool json, bool quiet, std::FILE *out = stdout, std::FILE *err = stderr);
    ~Output();

    bool json() const { return json_; }
    bool quiet() const { return quiet_; }

    // One result: `text` (one or more lines) or, with --json, `object` on one line.
    void result(const QString &text, const QJsonObject &object);
    // "talvex-cli: text" on standard error, whatever --quiet says.
    void error(const QString &text);
    // A step of a long operation, on standard error unless --quiet.
    void note(const QString &text);
    // A progress figure that replaces itself on a terminal; elsewhere only
    // changes of `stage` are written, so a log stays short.
    void progress(const QString &stage, const QString &detail);
    // Ends a progress line left open on a terminal.
    void endProgress();

private:
    void write(std::FILE *stream, const QString &text);

    bool json_;
    bool quiet_;
    std::FILE *out_;
    std::FILE *err_;
    bool errIsTerminal_;
    bool progressOpen_ = false;
    QString lastStage_;
};

} // namespace talvex::cli
