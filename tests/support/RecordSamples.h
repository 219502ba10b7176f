#pragma once
// Station records as a test makes them: one call per attempt, the rest filled
// with plausible values, and a count of what a database holds.
#include "station/RecordStore.h"
#include "station/RunRecord.h"

#include <QSet>
#include <QUuid>

namespace record_samples {

// The 24 hex digits of board `n`.
inline QString UniqueId(int n)
{
    return QStringLiteral("0048002A3133510B%1").arg(n, 8, 16, QLatin1Char('0')).toUpper();
}

inline TRunRecord Run(const QString &uniqueId, const QString &label, const QString &lot, bool passed,
                      const QDateTime &started = QDateTime::currentDateTimeUtc())
{
    TRunRecord r;
    r.recordId = QUuid::createUuid().toString(QUuid::WithoutBraces);
    r.startedUtc = started;
    r.durationMs = 8123;
    r.host = QStringLiteral("line2-station1");
    r.slot = QStringLiteral("1");
    r.port = QStringLiteral("COM3");
    r.portById = QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3XYZ-if00-port0");
    r.operatorName = QStringLiteral("wang.li");
    r.lot = lot;
    r.label = label;
    r.uniqueId = uniqueId;
    r.bootloaderVersion = 0x22;
    r.imageSha256 = QString(64, QLatin1Char('a'));
    r.settingsWritten = QStringLiteral("{\"station\":5}");
    r.settingsReadBack = QStringLiteral("{\"station\":5}");
    r.verified = passed;
    r.result = passed ? kResultPassed : kResultFailed;
    if (!passed) {
        r.failedStage = QStringLiteral("flash");
        r.cause = QStringLiteral("no answer to the bootloader's sync");
    }
    return r;
}

// Every run the store holds, in its order.
inline QList<TRunRecord> AllRuns(const TRecordStore &store)
{
    QList<TRunRecord> runs;
    QString error;
    if (!store.readRuns(
            {},
            [&runs](const TRunRecord &r) {
                runs << r;
                return true;
            },
            error))
        qWarning("readRuns: %s", qPrintable(error));
    return runs;
}

inline QSet<QString> RecordIds(const QList<TRunRecord> &runs)
{
    QSet<QString> ids;
    for (const TRunRecord &r : runs)
        ids << r.recordId;
    return ids;
}

}  // namespace record_samples

using namespace record_samples;
