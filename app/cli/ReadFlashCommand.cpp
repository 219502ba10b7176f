// read-flash: the chip's flash read out through its bootloader into a file, to
// archive what was shipped or keep the old firmware before an update. The
// update's own way in and out (line sequence, sync, Get, Get ID, the flash-size
// word, the unique ID, the restart), with its read-back's reads in place of the
// erase and the write.
#include "app/cli/BootloaderRun.h"
#include "app/cli/Commands.h"
#include "app/cli/PortError.h"
#include "app/cli/TraceFile.h"
#include "app/cli/UpdateWording.h"

#include "firmware/Isp.h"
#include "firmware/UpdateEngine.h"
#include "firmware/stm32/Stm32Protocol.h"
#include "serial/SerialPort.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonObject>
#include <QSaveFile>

namespace talvex::cli {

namespace {

// The bytes into `path` whole or not at all: a cut-off archive must not look like one.
bool SaveBytes(const QString &path, const QByteArray &bytes, QString &error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

}  // namespace

int RunReadFlash(const Options &o, const PortTarget &port, Output &out)
{
    QElapsedTimer clock;
    clock.start();
    const uint32_t from = o.address.value_or(stm32::kFlashBase);
    QJsonObject record = StartRecord(QStringLiteral("read-flash"), port);
    record["file"] = QFileInfo(o.outFile).absoluteFilePath();
    record["start_address"] = Hex(from);

    const DeviceKind kind = CreateSerialPort()->deviceKind(port.device);
    if (kind == DeviceKind::Absent || kind == DeviceKind::NotSerial || kind == DeviceKind::Console)
        return FailPortOpen(out, port,
                            kind == DeviceKind::Absent    ? PortFault::NotPresent
                            : kind == DeviceKind::Console ? PortFault::NotAnAdapter
                                                          : PortFault::NotSerialDevice,
                            0, record);

    TQRTCommDriver driver;
    const TraceTap trace(driver, TraceProtocol::Bootloader);
    driver.SetLinesInverted(o.linesInverted);
    TUpdateEngine engine(driver);
    const TUpdateCore &core = engine.Core();
    AimAt(engine, port);
    TUpdateOptions options;
    options.readUniqueId = true;
    options.readOnly = true;
    options.startAddress = from;
    options.readBytes = o.length.value_or(0);
    options.productId = o.anyChip ? 0 : Isp::kModuleProductId;
    options.resetPulseMs = options.bootSettleMs = options.finishHoldMs = static_cast<uint32_t>(o.entryMs);
    options.endOnNack = true;
    engine.SetOptions(options);

    const auto outside = [&] {
        return QStringLiteral("%1 ... %2 is not all in the chip's flash (%3 KiB from %4); nothing was read")
            .arg(Hex(from))
            .arg(o.length ? Hex(from + uint32_t(*o.length) - 1) : QStringLiteral("its end"))
            .arg(core.FlashSizeKiB())
            .arg(Hex(stm32::kFlashBase));
    };
    const auto failureText = [&](const TUpdateFailure &failure) {
        return failure.cause == TUpdateCause::ImageTooLarge ? outside() : FailureText(failure, 0, 0, 0, 0);
    };
    const BootloaderRun run = RunToEnd(engine, driver, kind, out, failureText);
    record["runs"] = core.RetryCount() + 1;
    record["duration_ms"] = clock.elapsed();
    AddChipFacts(core, record);
    if (const int status = FailStopped(run, core, port, out, QStringLiteral("nothing was written to %1").arg(o.outFile),
                                       record))
        return status;
    if (run.outcome == TUpdateOutcome::PortNotOpened)
        return FailPortOpen(out, port, driver.LastFault(), driver.LastErrorNumber(), record);
    if (run.outcome != TUpdateOutcome::Done) {
        const TUpdateFailure &failure = core.LastFailure();
        const int status = failure.cause == TUpdateCause::ImageTooLarge ? kExitUsage : kExitFailed;
        return out.fail(status, StageName(failure.stage),
                        QStringLiteral("read-flash failed (%1 of %2 runs): %3")
                            .arg(core.RetryCount() + 1)
                            .arg(Isp::kMaxRuns)
                            .arg(failureText(failure)),
                        record);
    }

    const QByteArray bytes(reinterpret_cast<const char *>(core.ReadOut()), core.ReadSize());
    QString error;
    if (!SaveBytes(o.outFile, bytes, error))
        return out.fail(kExitFailed, QStringLiteral("file"), error, record);
    record["bytes"] = bytes.size();
    record["sha256"] = QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
    record["result"] = QStringLiteral("done");
    out.result(QStringLiteral("read %1 bytes from %2 into %3\nchip %4, unique ID %5\nsha256 %6\n")
                   .arg(bytes.size())
                   .arg(Hex(from), o.outFile, record["product_id"].toString(), record["unique_id"].toString(),
                        record["sha256"].toString()),
               record);
    return kExitDone;
}

}  // namespace talvex::cli
