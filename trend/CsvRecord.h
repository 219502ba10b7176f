#pragma once
// The recording's rows: a header with the channels' names (and units), then one
// row per successful read with an ISO 8601 time stamp to the millisecond. The
// trend window's recording and talvex-cli watch --csv write the same rows.
#include "trend/TrendChannels.h"

#include <QDateTime>
#include <QString>

#include <cstdio>

// "time,AD0,...,G3" (each channel's title, quoted where it needs it).
QString CsvHeader(const TChannelUnits &units);
// "2026-12-11T09:45:00.123Z,1234,..." : raw counts, or the engineering value where a unit is set.
QString CsvRow(const QDateTime &time, const TChannelValues &values, const TChannelUnits &units);
// A value as a row holds it: counts as integers, engineering values with up to 6 significant digits.
QString CsvValue(uint16_t counts, const TChannelUnit &unit);

// A recording file: the header at the start, each row flushed to the file as it
// is written, so a crash loses at most the row being written.
class TCsvRecorder {
public:
    TCsvRecorder() = default;
    ~TCsvRecorder();
    TCsvRecorder(const TCsvRecorder &) = delete;
    TCsvRecorder &operator=(const TCsvRecorder &) = delete;

    // Creates (or empties) `path` and writes the header; "-" is standard output.
    // False with the reason when it cannot.
    bool Open(const QString &path, const TChannelUnits &units, QString &error);
    void Close();
    bool IsOpen() const { return file_ != nullptr; }
    // False once a row could not be written whole (disk full, a closed pipe).
    bool Row(const QDateTime &time, const TChannelValues &values);
    int Rows() const { return rows_; }
    const QString &Path() const { return path_; }

private:
    bool write(const QString &line);

    std::FILE *file_ = nullptr;
    bool ownsFile_ = false;
    TChannelUnits units_;
    QString path_;
    int rows_ = 0;
};
