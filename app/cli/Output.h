#pragma once
// Where talvex-cli says things: results on standard output (text lines, or one
// JSON object per line), errors and progress on standard error, and with --log
// every result and failure as one JSON line appended to a file.
#include <QJsonObject>
#include <QString>

#include <cstdio>

namespace talvex::cli {

class Output {
public:
    Output(bool json, bool quiet, std::FILE *out = stdout, std::FILE *err = stderr);
    ~Output();
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;

    bool json() const { return json_; }
    bool quiet() const { return quiet_; }

    // Appends to `path` from now on. False with the reason when it cannot be opened.
    bool openLog(const QString &path, QString &error);

    // One result: `text` (one or more lines) or, with --json, `object` on one line.
    // `object` also goes to the log, after standard output: a result that could
    // not be written there is logged with "output_error" and exit 1 in the same record.
    void result(const QString &text, const QJsonObject &object);
    // A failure: "talvex-cli: text" on standard error, or with --json one object
    // {"error", "stage", "exit"}; to the log `record` with those fields added.
    // Returns `exit`.
    int fail(int exit, const QString &stage, const QString &text, const QJsonObject &record = {});
    // "talvex-cli: text" on standard error, whatever --quiet says.
    void error(const QString &text);
    // A step of a long operation, on standard error unless --quiet.
    void note(const QString &text);
    // A progress figure that replaces itself on a terminal; elsewhere only
    // changes of `stage` are written, so a log stays short.
    void progress(const QString &stage, const QString &detail);
    // Ends a progress line left open on a terminal.
    void endProgress();

    // Whether a result could not be written whole (standard output or the log),
    // and why: a result that did not arrive is no success.
    bool lost() const { return !lostReason_.isEmpty(); }
    const QString &lostReason() const { return lostReason_; }
    // Says that on standard error, as a failure (the log already holds it with its result).
    int failLost(int exit);

private:
    bool write(std::FILE *stream, const QString &text);
    void appendToLog(const QJsonObject &object);

    bool json_;
    bool quiet_;
    std::FILE *out_;
    std::FILE *err_;
    int log_ = -1;  // appended to with one write() per record, then fsync()
    QString logPath_;
    bool errIsTerminal_;
    bool progressOpen_ = false;
    QString lastStage_;
    QString lostReason_;
};

// Now as ISO 8601 in UTC, to the millisecond: "2026-12-11T03:10:51.123Z".
QString NowUtc();

}  // namespace talvex::cli
