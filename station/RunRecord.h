#pragma once
// One attempt at one board, as a station records it: a row of the table `runs`,
// a line of `talvex-cli records`, an entry of the spool. The columns are named
// once, in kRunColumns; the JSON form uses the same names.
#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <array>

struct TRunRecord {
    QString recordId;  // a UUID made when the attempt starts: the spool's key, unique in `runs`
    QDateTime startedUtc;
    qint64 durationMs = 0;
    QString host, slot /* "1".. */, port, portById, operatorName, lot, label;
    QString uniqueId;            // 24 hex digits, upper case; empty when never read
    int bootloaderVersion = -1;  // -1: never read (NULL in the table)
    QString imageSha256;
    QString settingsWritten, settingsReadBack;  // JSON text
    bool verified = false;
    bool rework = false;         // the operator asked for a board already passed in this lot to be done again
    QString result;              // "passed" | "failed"
    QString failedStage, cause;  // empty when passed
};

inline const QString kResultPassed = QStringLiteral("passed");
inline const QString kResultFailed = QStringLiteral("failed");

enum class TColumnType { Text, Integer, Boolean };

struct TRunColumn {
    const char *name;
    TColumnType type;
};

// In the order of the table, the export's CSV header and its JSON objects.
inline constexpr std::array<TRunColumn, 20> kRunColumns = {{
    {"record_id", TColumnType::Text},
    {"started_utc", TColumnType::Text},  // ISO 8601 in UTC to the millisecond: sorts as it reads
    {"duration_ms", TColumnType::Integer},
    {"host", TColumnType::Text},
    {"slot", TColumnType::Text},
    {"port", TColumnType::Text},
    {"port_by_id", TColumnType::Text},
    {"operator", TColumnType::Text},
    {"lot", TColumnType::Text},
    {"label", TColumnType::Text},
    {"unique_id", TColumnType::Text},
    {"bootloader_version", TColumnType::Integer},
    {"image_sha256", TColumnType::Text},
    {"settings_written", TColumnType::Text},
    {"settings_read_back", TColumnType::Text},
    {"verified", TColumnType::Boolean},
    {"rework", TColumnType::Boolean},
    {"result", TColumnType::Text},
    {"failed_stage", TColumnType::Text},
    {"cause", TColumnType::Text},
}};

// "2026-12-11T03:10:51.123Z".
QString UtcText(const QDateTime &time);

// The record with its columns as keys; bootloader_version is null when never read.
QJsonObject RunRecordJson(const TRunRecord &record);
// The way back. False when a column is missing or of the wrong type.
bool RunRecordFromJson(const QJsonObject &object, TRunRecord &record);

// Whether `text` is a chip's unique ID as recorded: 24 hex digits, upper case.
bool IsUniqueIdText(const QString &text);
