#pragma once
// The options of `scan` and the global --baud and --format: lists of stations,
// baud rates and formats ("1-99", "1,5,37", "9600,19200", "8N1,8E1").
#include "modbus/ModbusLine.h"
#include "modbus/ScanPlan.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>

#include <vector>

namespace talvex::cli {

// A list of numbers and ranges within first ... last: "1-99", "1,5,37", "1-5,37".
// False with the reason (for `what`) on anything else.
bool ParseNumberList(const QString &what, const QString &text, int first, int last, std::vector<int> &out,
                     QString &error);
// Baud rates ("9600,19200") or formats ("8N1,8 E 1") as indexes into their tables.
bool ParseBaudList(const QString &what, const QString &text, std::vector<int> &out, QString &error);
bool ParseFormatList(const QString &what, const QString &text, std::vector<int> &out, QString &error);

struct ScanOptions {
    QCommandLineOption stations{QStringList{"stations"}, {}, "LIST"};
    QCommandLineOption bauds{QStringList{"bauds"}, {}, "LIST"};
    QCommandLineOption formats{QStringList{"formats"}, {}, "LIST"};
    QCommandLineOption all{QStringList{"all"}};
    QCommandLineOption probeMs{QStringList{"probe-ms"}, {}, "MS"};

    void addTo(QCommandLineParser &parser) const { parser.addOptions({stations, bauds, formats, all, probeMs}); }
    // Takes what the parser found into `request`. False with the reason.
    bool take(const QCommandLineParser &parser, TScanRequest &request, QString &error) const;
};

}  // namespace talvex::cli
