// flash: the firmware window's update (line sequence, the eleven states, three
// runs) on the same engine, with the carried image or a file, and what a line
// needs on top: the image checked against the chip, a read-back, the chip's
// unique ID and a record of it all.
#include "app/cli/ById.h"
#include "app/cli/Commands.h"
#include "app/cli/ImageFile.h"
#include "app/cli/Interrupt.h"
#include "app/cli/PortError.h"
#include "app/cli/TraceFile.h"
#include "app/cli/UpdateWording.h"

#include "firmware/FirmwareImage.h"
#include "firmware/Isp.h"
#include "firmware/UpdateEngine.h"
#include "firmware/stm32/Stm32Protocol.h"
#include "serial/SerialPort.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonObject>
#include <QTimer>

namespace talvex::cli {

namespace {

// How often a running update looks for SIGINT/SIGTERM.
constexpr int kInterruptCheckMs = 100;

QString Hex(uint32_t value, int digits)
{
    return QStringLiteral("0x") + QStringLiteral("%1").arg(value, digits, 16, QLatin1Char('0')).toUpper();
}

// The image flash writes, refused with exit 2 before the port is opened.
int TakeImage(const Options &o, Output &out, QJsonObject &record, QByteArray &bytes)
{
    if (o.image.isEmpty()) {
        qint64 carriedSize = -1;
        if (!CarriedFirmwareImageAcceptable(&carriedSize) || !LoadFirmwareImage())
            return out.fail(
                kExitFailed, QStringLiteral("image"),
                QStringLiteral("the carried firmware image is unusable (%1 bytes); nothing was sent").arg(carriedSize),
                record);
        bytes = *ImageStream;
        record["format"] = QStringLiteral("binary");
        return kExitDone;
    }
    ImageFile file;
    QString error;
    if (!ReadImageFile(o.image, file, error))
        return out.fail(kExitUsage, QStringLiteral("image"), error + QStringLiteral("; nothing was sent"), record);
    bytes = file.bytes;
    record["format"] = file.format;
    return kExitDone;
}

}  // namespace

int RunFlash(const Options &o, const PortTarget &port, Output &out)
{
    QElapsedTimer clock;
    clock.start();
    const QString byId = ByIdPathOf(port.device);
    QJsonObject record{{"time", NowUtc()},
                       {"command", QStringLiteral("flash")},
                       {"port", port.name},
                       {"port_by_id", byId.isEmpty() ? QJsonValue() : QJsonValue(byId)},
                       {"image", o.image.isEmpty() ? QStringLiteral("carried") : o.image},
                       {"standin", o.image.isEmpty() && CarriedFirmwareIsStandIn()},
                       {"verified", false}};

    QByteArray image;
    if (const int status = TakeImage(o, out, record, image))
        return status;
    record["size"] = image.size();
    record["sha256"] = QString::fromLatin1(QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex());

    const DeviceKind kind = ClassifyDevice(port.device);
    if (kind == DeviceKind::Absent || kind == DeviceKind::NotSerial)
        return FailPortOpen(out, port, kind == DeviceKind::Absent ? PortFault::NotPresent : PortFault::NotSerialDevice,
                            0, record);
    // The stand-in replaces working firmware with an idle loop: never onto a
    // real module unless asked for in so many words. The simulated module (a pty) is fine.
    if (o.image.isEmpty() && CarriedFirmwareIsStandIn() && kind != DeviceKind::PseudoTerminal && !o.yesStandIn)
        return out.fail(kExitUsage, QStringLiteral("image"),
                        QStringLiteral("%1 is a real line, not a pseudo-terminal, and this build carries the stand-in "
                                       "image, not the module's firmware; nothing was sent (--yes-standin writes it "
                                       "all the same, --image FILE writes another image)")
                            .arg(port.name),
                        record);

    TQRTCommDriver driver;
    const TraceTap trace(driver, TraceProtocol::Bootloader);
    TUpdateEngine engine(driver);
    const TUpdateCore &core = engine.Core();
    if (port.comIndex >= 0)
        engine.SetPortIndex(port.comIndex);
    else
        engine.SetDevicePath(port.device);
    TUpdateOptions options;
    options.bootEntry = o.bootEntry;
    options.readUniqueId = true;
    options.verify = o.verify;
    options.imageBytes = image.size();
    engine.SetOptions(options);
    engine.SetImageLoader([image] { return LoadFirmwareImageBytes(image); });

    QObject::connect(&engine, &TUpdateEngine::stageChanged, [&](TUpdateStage stage, int percent) {
        const bool counted = stage == TUpdateStage::Writing || stage == TUpdateStage::Verifying;
        out.progress(StageText(stage), counted ? QStringLiteral("%1%").arg(percent) : QString());
    });
    QObject::connect(&engine, &TUpdateEngine::runFailed, [&](const TUpdateFailure &failure) {
        if (core.RetryCount() + 1 < Isp::kMaxRuns && failure.cause != TUpdateCause::ImageTooLarge &&
            failure.cause != TUpdateCause::VerifyMismatch)
            out.note(QStringLiteral("run %1 of %2 failed: %3")
                         .arg(core.RetryCount() + 1)
                         .arg(Isp::kMaxRuns)
                         .arg(FailureText(failure, image.size(), core.FlashSizeKiB())));
    });

    if (o.bootEntry == TBootEntry::Manual)
        out.error(QStringLiteral("hold BOOT0 high and reset the module now; the sync byte goes out every second "
                                 "for up to %1 s")
                      .arg(TUpdateCore::kManualSyncSeconds));

    // An adapter without DTR/RTS cannot start the bootloader; a pty has none and
    // needs none (the simulated module starts its bootloader by itself).
    bool noModemLines = false;
    if (kind == DeviceKind::SerialDevice)
        QObject::connect(&engine, &TUpdateEngine::modemLinesRefused, [&] { noModemLines = true; });

    QEventLoop loop;
    TUpdateOutcome outcome = TUpdateOutcome::LinkFailed;
    bool interrupted = false;
    bool removed = false;
    QObject::connect(&engine, &TUpdateEngine::finished, [&](TUpdateOutcome o) {
        outcome = o;
        loop.quit();
    });
    QTimer interruptCheck;
    QObject::connect(&interruptCheck, &QTimer::timeout, [&] {
        removed = driver.DeviceLost();
        interrupted = Interrupted();
        if (!interrupted && !removed && !noModemLines)
            return;
        engine.Stop();
        loop.quit();
    });
    interruptCheck.start(kInterruptCheckMs);
    QTimer::singleShot(0, &engine, &TUpdateEngine::Start);
    loop.exec();
    out.endProgress();

    const int runs = core.RetryCount() + 1;
    record["runs"] = runs;
    record["duration_ms"] = clock.elapsed();
    if (core.ProductId() != 0)
        record["product_id"] = Hex(core.ProductId(), 4);
    if (core.BootloaderVersion() != 0)
        record["bootloader"] =
            QStringLiteral("%1.%2").arg(core.BootloaderVersion() >> 4).arg(core.BootloaderVersion() & 0x0F);
    if (core.FlashSizeKiB() != 0)
        record["flash_kib"] = core.FlashSizeKiB();
    if (!core.UniqueId().empty())
        record["unique_id"] = QString::fromStdString(core.UniqueId());

    if (interrupted)
        return out.fail(kExitInterrupted, StageName(core.StageOf(core.IspState())),
                        QStringLiteral("interrupted; the module's flash may be incomplete, run flash again"), record);
    if (removed)
        return FailAdapterRemoved(out, port, StageName(core.StageOf(core.IspState())),
                                  QStringLiteral("; the module's flash may be incomplete, run flash again"), record);
    if (noModemLines)
        return out.fail(kExitPort, QStringLiteral("boot entry"),
                        QStringLiteral("%1 does not drive DTR/RTS, so the module cannot be put into its bootloader "
                                       "from here; hold BOOT0 high, reset the module and use --boot-entry manual")
                            .arg(port.name),
                        record);
    switch (outcome) {
    case TUpdateOutcome::Done: {
        record["verified"] = core.Verified();
        record["result"] = QStringLiteral("done");
        record["flashed"] = true;
        record["bytes"] = image.size();
        QString text = QStringLiteral("flashed %1 bytes at %2%3 (%4 of %5 runs)\n")
                           .arg(image.size())
                           .arg(Hex(stm32::kFlashBase, 8))
                           .arg(core.Verified() ? QStringLiteral(", verified") : QStringLiteral(", not verified"))
                           .arg(runs)
                           .arg(Isp::kMaxRuns);
        text += QStringLiteral("chip %1, bootloader %2, unique ID %3\n")
                    .arg(record["product_id"].toString(), record["bootloader"].toString(),
                         record["unique_id"].toString());
        text += QStringLiteral("image sha256 %1\n").arg(record["sha256"].toString());
        out.result(text, record);
        if (o.bootEntry == TBootEntry::Manual)
            out.note(QStringLiteral("release BOOT0 and reset the module to start the new firmware"));
        return kExitDone;
    }
    case TUpdateOutcome::PortNotOpened:
        return FailPortOpen(out, port, driver.LastFault(), driver.LastErrorNumber(), record);
    case TUpdateOutcome::LinkFailed:
    case TUpdateOutcome::Refused:
        break;
    }
    const TUpdateFailure &failure = core.LastFailure();
    if (failure.cause == TUpdateCause::VerifyMismatch) {
        record["verify_address"] = Hex(failure.address, 8);
    }
    const int status = failure.cause == TUpdateCause::ImageTooLarge ? kExitUsage : kExitFailed;
    return out.fail(status, StageName(failure.stage),
                    QStringLiteral("update failed (%1 of %2 runs): %3")
                        .arg(runs)
                        .arg(Isp::kMaxRuns)
                        .arg(FailureText(failure, image.size(), core.FlashSizeKiB())),
                    record);
}

}  // namespace talvex::cli
