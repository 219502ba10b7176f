#include "app/cli/ScanArgs.h"

#include "modbus/SettingTexts.h"
#include "modbus/SettingsTable.h"

#include <QRegularExpression>

#include <algorithm>

namespace talvex::cli {

namespace {

const TSettingRow &RowOf(int reg)
{
    return *std::find_if(kModuleSettings.begin(), kModuleSettings.end(),
                         [reg](const TSettingRow &r) { return r.Register == reg; });
}

// Comma-separated words, each looked up in a setting's list.
bool ParseTextList(const QString &what, const QString &text, const TSettingRow &row, std::vector<int> &out,
                   QString &error)
{
    out.clear();
    for (const QString &word : text.split(',')) {
        const int index = FindSettingText(row, word);
        if (index < 0) {
            error = QStringLiteral("%1: \"%2\" is not one of %3").arg(what, word.trimmed(), SettingChoices(row));
            return false;
        }
        if (std::find(out.begin(), out.end(), index) == out.end())
            out.push_back(index);
    }
    return true;
}

}  // namespace

bool ParseNumberList(const QString &what, const QString &text, int first, int last, std::vector<int> &out,
                     QString &error)
{
    static const QRegularExpression item(QStringLiteral("^\\s*(\\d{1,9})\\s*(?:-\\s*(\\d{1,9})\\s*)?$"));
    out.clear();
    for (const QString &word : text.split(',')) {
        const QRegularExpressionMatch m = item.match(word);
        if (!m.hasMatch()) {
            error = QStringLiteral("%1: \"%2\" is neither a number nor a range (\"1-99\", \"1,5,37\")")
                        .arg(what, word.trimmed());
            return false;
        }
        const int from = m.captured(1).toInt();
        const int to = m.captured(2).isEmpty() ? from : m.captured(2).toInt();
        if (from > to) {
            error = QStringLiteral("%1: the range %2 runs backwards").arg(what, word.trimmed());
            return false;
        }
        if (from < first || to > last) {
            error = QStringLiteral("%1: %2 is out of range (%3 ... %4)").arg(what, word.trimmed()).arg(first).arg(last);
            return false;
        }
        for (int v = from; v <= to; ++v)
            if (std::find(out.begin(), out.end(), v) == out.end())
                out.push_back(v);
    }
    return true;
}

bool ParseBaudList(const QString &what, const QString &text, std::vector<int> &out, QString &error)
{
    return ParseTextList(what, text, RowOf(Reg::Cfg_Baud485), out, error);
}

bool ParseFormatList(const QString &what, const QString &text, std::vector<int> &out, QString &error)
{
    return ParseTextList(what, text, RowOf(Reg::Cfg_Dat485), out, error);
}

bool ScanOptions::take(const QCommandLineParser &parser, TScanRequest &request, QString &error) const
{
    if (parser.isSet(stations) && !ParseNumberList(QStringLiteral("--stations"), parser.value(stations), kStationMin,
                                                   kStationMax, request.Stations, error))
        return false;
    if (parser.isSet(bauds) && !ParseBaudList(QStringLiteral("--bauds"), parser.value(bauds), request.Bauds, error))
        return false;
    if (parser.isSet(formats) &&
        !ParseFormatList(QStringLiteral("--formats"), parser.value(formats), request.Formats, error))
        return false;
    request.All = parser.isSet(all);
    if (parser.isSet(probeMs)) {
        std::vector<int> ms;
        if (!ParseNumberList(QStringLiteral("--probe-ms"), parser.value(probeMs), 0, int(kMaxTurnaroundMs), ms, error))
            return false;
        if (ms.size() != 1) {
            error = QStringLiteral("--probe-ms takes one number of milliseconds (0 ... %1)").arg(kMaxTurnaroundMs);
            return false;
        }
        request.TurnaroundMs = static_cast<uint32_t>(ms.front());
    }
    return true;
}

}  // namespace talvex::cli
