#include "station/RunRecord.h"

#include <QRegularExpression>

QString UtcText(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

QJsonObject RunRecordJson(const TRunRecord &r)
{
    return QJsonObject{
        {"record_id", r.recordId},
        {"started_utc", UtcText(r.startedUtc)},
        {"duration_ms", r.durationMs},
        {"host", r.host},
        {"slot", r.slot},
        {"port", r.port},
        {"port_by_id", r.portById},
        {"operator", r.operatorName},
        {"lot", r.lot},
        {"label", r.label},
        {"unique_id", r.uniqueId},
        {"bootloader_version", r.bootloaderVersion < 0 ? QJsonValue() : QJsonValue(r.bootloaderVersion)},
        {"image_sha256", r.imageSha256},
        {"settings_written", r.settingsWritten},
        {"settings_read_back", r.settingsReadBack},
        {"verified", r.verified},
        {"rework", r.rework},
        {"result", r.result},
        {"failed_stage", r.failedStage},
        {"cause", r.cause},
    };
}

bool RunRecordFromJson(const QJsonObject &o, TRunRecord &r)
{
    for (const TRunColumn &column : kRunColumns) {
        const QJsonValue v = o.value(QLatin1String(column.name));
        const bool fits = column.type == TColumnType::Text      ? v.isString()
                          : column.type == TColumnType::Boolean ? v.isBool()
                                                                : v.isDouble() || v.isNull();
        if (!fits)
            return false;
    }
    const auto text = [&o](const char *name) { return o.value(QLatin1String(name)).toString(); };
    r = {};
    r.recordId = text("record_id");
    r.startedUtc = QDateTime::fromString(text("started_utc"), Qt::ISODateWithMs);
    r.durationMs = qint64(o.value("duration_ms").toDouble());
    r.host = text("host");
    r.slot = text("slot");
    r.port = text("port");
    r.portById = text("port_by_id");
    r.operatorName = text("operator");
    r.lot = text("lot");
    r.label = text("label");
    r.uniqueId = text("unique_id");
    r.bootloaderVersion = o.value("bootloader_version").isNull() ? -1 : o.value("bootloader_version").toInt();
    r.imageSha256 = text("image_sha256");
    r.settingsWritten = text("settings_written");
    r.settingsReadBack = text("settings_read_back");
    r.verified = o.value("verified").toBool();
    r.rework = o.value("rework").toBool();
    r.result = text("result");
    r.failedStage = text("failed_stage");
    r.cause = text("cause");
    return true;
}

bool IsUniqueIdText(const QString &text)
{
    static const QRegularExpression uid(QStringLiteral("^[0-9A-F]{24}$"));
    return uid.match(text).hasMatch();
}
