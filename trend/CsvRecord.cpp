#include "trend/CsvRecord.h"

#include <QStringList>

namespace {

constexpr int kSignificantDigits = 6;

QString Quoted(const QString &field)
{
    if (!field.contains(QLatin1Char(',')) && !field.contains(QLatin1Char('"')) && !field.contains(QLatin1Char('\n')))
        return field;
    return QLatin1Char('"') + QString(field).replace(QLatin1String("\""), QLatin1String("\"\"")) + QLatin1Char('"');
}

}  // namespace

QString CsvHeader(const TChannelUnits &units)
{
    QStringList fields{QStringLiteral("time")};
    for (int c = 0; c < kTrendChannels; ++c)
        fields << Quoted(ChannelTitle(c, units[c]));
    return fields.join(QLatin1Char(','));
}

QString CsvValue(uint16_t counts, const TChannelUnit &unit)
{
    return unit.Raw() ? QString::number(counts) : QString::number(unit.Value(counts), 'g', kSignificantDigits);
}

QString CsvRow(const QDateTime &time, const TChannelValues &values, const TChannelUnits &units)
{
    QString row = time.toUTC().toString(Qt::ISODateWithMs);
    for (int c = 0; c < kTrendChannels; ++c)
        row += QLatin1Char(',') + CsvValue(values[c], units[c]);
    return row;
}

TCsvRecorder::~TCsvRecorder()
{
    Close();
}

bool TCsvRecorder::Open(const QString &path, const TChannelUnits &units, QString &error)
{
    Close();
    if (path == QLatin1String("-")) {
        file_ = stdout;
    } else {
        file_ = std::fopen(path.toLocal8Bit().constData(), "w");
        ownsFile_ = file_ != nullptr;
    }
    if (!file_) {
        error = QStringLiteral("cannot write \"%1\"").arg(path);
        return false;
    }
    units_ = units;
    path_ = path;
    rows_ = 0;
    if (!write(CsvHeader(units))) {
        error = QStringLiteral("cannot write \"%1\"").arg(path);
        Close();
        return false;
    }
    return true;
}

void TCsvRecorder::Close()
{
    if (ownsFile_ && file_)
        std::fclose(file_);
    file_ = nullptr;
    ownsFile_ = false;
}

bool TCsvRecorder::write(const QString &line)
{
    const QByteArray bytes = (line + QLatin1Char('\n')).toUtf8();
    // One row, then out of the C library's buffer at once.
    return std::fwrite(bytes.constData(), 1, size_t(bytes.size()), file_) == size_t(bytes.size()) &&
           std::fflush(file_) == 0;
}

bool TCsvRecorder::Row(const QDateTime &time, const TChannelValues &values)
{
    if (!file_)
        return false;
    if (!write(CsvRow(time, values, units_)))
        return false;
    ++rows_;
    return true;
}
