// flash: the firmware window's update (line sequence, the eleven states, three
// runs) on the same engine, with the carried image or a file, and what a line
// needs on top: the image checked against the chip, a read-back, the chip's
// unique ID and a record of it all.
#include "app/cli/BootloaderRun.h"
#include "app/cli/Commands.h"
#include "app/cli/Interrupt.h"
#include "app/cli/KeptSettings.h"
#include "app/cli/PortError.h"
#include "app/cli/TraceFile.h"
#include "app/cli/UpdateWording.h"

#include "firmware/FirmwareImage.h"
#include "firmware/ImageFile.h"
#include "firmware/Isp.h"
#include "firmware/UpdateEngine.h"
#include "firmware/stm32/Stm32Protocol.h"
#include "serial/SerialPort.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

namespace talvex::cli {

namespace {

// The pages as runs: "16 ... 45", "16, 20 ... 22", "16".
QString PageRange(const std::vector<uint8_t> &pages)
{
    QStringList runs;
    for (size_t i = 0; i < pages.size();) {
        size_t j = i;
        while (j + 1 < pages.size() && pages[j + 1] == pages[j] + 1)
            ++j;
        runs << (i == j ? QString::number(pages[i]) : QStringLiteral("%1 ... %2").arg(pages[i]).arg(pages[j]));
        i = j + 1;
    }
    return runs.join(QStringLiteral(", "));
}

// The image flash writes, refused with exit 2 before the port is opened; the
// record says which file was refused and why.
int TakeImage(const Options &o, Output &out, QJsonObject &record, ImageFile &image)
{
    if (o.image.isEmpty()) {
        qint64 carriedSize = -1;
        const std::optional<QByteArray> carried = CarriedFirmwareImageAcceptable(&carriedSize) ? LoadFirmwareImage()
                                                                                               : std::nullopt;
        if (!carried)
            return out.fail(
                kExitFailed, QStringLiteral("image"),
                QStringLiteral("the carried firmware image is unusable (%1 bytes); nothing was sent").arg(carriedSize),
                record);
        image.bytes = *carried;
        image.format = QStringLiteral("binary");
        image.fileSha256 = QString::fromLatin1(
            QCryptographicHash::hash(image.bytes, QCryptographicHash::Sha256).toHex());
        QString error;
        PlaceBinary(image, stm32::kFlashBase, error);
    } else {
        QString error;
        if (!ReadImageFile(o.image, image, error))
            return out.fail(kExitUsage, QStringLiteral("image"), error + QStringLiteral("; nothing was sent"), record);
        if (image.format != QStringLiteral("binary") && o.address)
            return out.fail(kExitUsage, QStringLiteral("image"),
                            QStringLiteral("%1 is Intel HEX and carries its own addresses; --address places a raw "
                                           "binary only; nothing was sent")
                                .arg(o.image),
                            record);
        if (o.address && !PlaceBinary(image, *o.address, error))
            return out.fail(kExitUsage, QStringLiteral("image"), error + QStringLiteral("; nothing was sent"), record);
    }
    record["format"] = image.format;
    record["sha256"] = image.fileSha256;
    record["size"] = image.bytes.size();
    record["start_address"] = Hex(image.start, 8);
    QJsonArray pages;
    for (const uint8_t page : image.pages)
        pages.append(page);
    record["pages"] = pages;
    return kExitDone;
}

// The port must be a serial line, and the stand-in goes onto a real one only
// when asked for; 0 when flash may open it.
int CheckFlashPort(const Options &o, const PortTarget &port, DeviceKind kind, Output &out, QJsonObject &record)
{
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
    // A console or the controlling terminal: nothing is set on it.
    if (kind == DeviceKind::Console)
        return FailPortOpen(out, port, PortFault::NotAnAdapter, 0, record);
    return kExitDone;
}

// Removing read-out protection erases the page the module stores its settings
// in: they are read at the module's line first, while nothing has changed.
int ReadSettingsBefore(const Options &o, const PortTarget &port, Output &out, QJsonObject &record, KeptSettings &before)
{
    if (!o.unprotect)
        return kExitDone;
    QString why;
    if (!ReadKeptSettings(o, port, before, why)) {
        if (!o.discardSettings)
            return out.fail(kExitFailed, QStringLiteral("settings"),
                            QStringLiteral("%1, so its settings cannot be kept; nothing was changed. --unprotect "
                                           "erases all of the chip's flash, the stored settings included "
                                           "(--discard-settings flashes all the same; the module then starts "
                                           "on its default settings)")
                                .arg(why),
                            record);
        out.note(QStringLiteral("%1; the settings are not kept (--discard-settings)").arg(why));
    } else {
        record["settings_before"] = SettingsWords(before);
    }
    return kExitDone;
}

// The window's update with what a line needs on top.
TUpdateOptions FlashOptions(const Options &o, const ImageFile &file)
{
    TUpdateOptions options;
    options.bootEntry = o.bootEntry;
    options.readUniqueId = true;
    options.verify = o.verify;
    options.imageBytes = file.bytes.size();
    // Short pulses: the window's waits are its own, a line of modules need not wait them out.
    options.resetPulseMs = options.bootSettleMs = options.finishHoldMs = static_cast<uint32_t>(o.entryMs);
    options.endOnNack = true;
    options.startAddress = file.start;
    options.erasePages = file.pages;
    options.productId = o.anyChip ? 0 : Isp::kModuleProductId;
    options.unprotect = o.unprotect;
    options.checkWriteProtection = true;
    options.protect = o.protect;
    return options;
}

// The result of a flash that is done: what went in, and the settings written back.
int ReportFlashed(const Options &o, const PortTarget &port, const ImageFile &file, const TUpdateCore &core,
                  const KeptSettings &before, Output &out, QJsonObject &record)
{
    const QByteArray &image = file.bytes;
    record["verified"] = core.Verified();
    record["result"] = QStringLiteral("done");
    record["flashed"] = true;
    record["bytes"] = image.size();
    // What went into the flash: the image with its holes as the erased value.
    record["written_sha256"] = QString::fromLatin1(QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex());
    record["pages_erased"] = record["pages"];
    QString text = QStringLiteral("flashed %1 bytes at %2%3 (%4 of %5 runs)\n")
                       .arg(image.size())
                       .arg(Hex(file.start))
                       .arg(core.Verified() ? QStringLiteral(", verified") : QStringLiteral(", not verified"))
                       .arg(core.Runs())
                       .arg(Isp::kMaxRuns);
    text += QStringLiteral("pages %1 erased (1 KiB each, counted from %2)\n")
                .arg(PageRange(file.pages), Hex(stm32::kFlashBase));
    text += QStringLiteral("chip %1, bootloader %2, unique ID %3\n")
                .arg(record["product_id"].toString(), record["bootloader"].toString(), record["unique_id"].toString());
    text += QStringLiteral("image sha256 %1, written sha256 %2\n")
                .arg(record["sha256"].toString(), record["written_sha256"].toString());
    if (core.Unprotected())
        text += QStringLiteral("read-out protection removed: all of the chip's flash was erased first\n");
    if (core.WriteUnprotected())
        text += QStringLiteral("write protection removed\n");
    if (core.Protected())
        text += QStringLiteral("read-out protection set: the chip now refuses to read its flash\n");
    if (o.unprotect && before.read) {
        KeptSettings after;
        QString why;
        const bool restored = RestoreKeptSettings(o, port, before, after, why);
        record["settings_restored"] = restored;
        if (after.read)
            record["settings_after"] = SettingsWords(after);
        if (!restored) {
            return out.fail(
                kExitFailed, QStringLiteral("settings"),
                QStringLiteral("the flash is done, but the module's settings were not written back: "
                               "%1; give them with configure (registers 21 ... 26 held %2)")
                    .arg(why, QString::fromUtf8(QJsonDocument(SettingsWords(before)).toJson(QJsonDocument::Compact))),
                record);
        }
        text += QStringLiteral("the module's six settings written back and read back as before\n");
    } else if (core.Unprotected()) {
        text += QStringLiteral("the module's stored settings were erased with the flash: it runs on its "
                               "defaults\n");
    }
    out.result(text, record);
    if (o.bootEntry == TBootEntry::Manual)
        out.note(QStringLiteral("release BOOT0 and reset the module to start the new firmware"));
    return kExitDone;
}

// The failure of the last run, in words and in the record.
int ReportNotFlashed(const TUpdateCore &core, const QString &failureText, Output &out, QJsonObject &record)
{
    const TUpdateFailure &failure = core.LastFailure();
    if (failure.cause == TUpdateCause::VerifyMismatch) {
        record["verify_address"] = Hex(failure.address);
    }
    if (failure.cause == TUpdateCause::WriteProtected) {
        QJsonArray pages;
        for (const uint8_t page : core.WriteProtectedPages())
            pages.append(page);
        record["write_protected_pages"] = pages;
        return out.fail(kExitFailed, StageName(failure.stage),
                        QStringLiteral("pages %1 of the image are write-protected; nothing was erased (--unprotect "
                                       "removes the write protection, and the read-out protection with all of the "
                                       "flash if that is set)")
                            .arg(PageRange(core.WriteProtectedPages())),
                        record);
    }
    const int status = failure.cause == TUpdateCause::ImageTooLarge ? kExitUsage : kExitFailed;
    return out.fail(
        status, StageName(failure.stage),
        QStringLiteral("update failed (%1 of %2 runs): %3").arg(core.Runs()).arg(Isp::kMaxRuns).arg(failureText),
        record);
}

}  // namespace

int RunFlash(const Options &o, const PortTarget &port, Output &out)
{
    QElapsedTimer clock;
    clock.start();
    // The image by its absolute path, so that a record read elsewhere names the file.
    QJsonObject record = StartRecord(QStringLiteral("flash"), port);
    record["image"] = o.image.isEmpty() ? QStringLiteral("carried") : QFileInfo(o.image).absoluteFilePath();
    record["standin"] = o.image.isEmpty() && CarriedFirmwareIsStandIn();
    record["verified"] = false;

    ImageFile file;
    if (const int status = TakeImage(o, out, record, file))
        return status;
    const QByteArray &image = file.bytes;
    if (file.start != stm32::kFlashBase)
        out.error(QStringLiteral("the image starts at %1, not at %2: pages %3 are erased and written, the flash "
                                 "below %1 is left as it is")
                      .arg(Hex(file.start), Hex(stm32::kFlashBase), PageRange(file.pages)));

    const DeviceKind kind = CreateSerialPort()->deviceKind(port.device);
    if (const int status = CheckFlashPort(o, port, kind, out, record))
        return status;
    KeptSettings before;
    if (const int status = ReadSettingsBefore(o, port, out, record, before))
        return status;

    TQRTCommDriver driver;
    const TraceTap trace(driver, TraceProtocol::Bootloader);
    driver.SetLinesInverted(o.linesInverted || o.bootEntry == TBootEntry::Inverted);
    TUpdateEngine engine(driver);
    const TUpdateCore &core = engine.Core();
    AimAt(engine, port);
    engine.SetOptions(FlashOptions(o, file));
    engine.SetImageLoader([image] { return LoadFirmwareImageBytes(image); });

    const auto failureText = [&](const TUpdateFailure &failure) {
        return FailureText(failure, image.size(), core.FlashSizeKiB(), file.pages.front(), file.pages.back());
    };
    if (o.bootEntry == TBootEntry::Manual)
        out.error(QStringLiteral("hold BOOT0 high and reset the module now; the sync byte goes out every second "
                                 "for up to %1 s")
                      .arg(TUpdateCore::kManualSyncSeconds));
    const BootloaderRun run = RunToEnd(engine, driver, kind, out, failureText);

    record["runs"] = core.Runs();
    record["duration_ms"] = clock.elapsed();
    AddChipFacts(core, record);
    record["read_protected"] = core.FoundReadProtected();
    record["unprotected"] = core.Unprotected() || core.WriteUnprotected();
    record["protected"] = core.Protected();
    if (const int status = FailStopped(run, core, port, out,
                                       QStringLiteral("the module's flash may be incomplete, run flash again"), record))
        return status;
    switch (run.outcome) {
    case TUpdateOutcome::Done:
        return ReportFlashed(o, port, file, core, before, out, record);
    case TUpdateOutcome::PortNotOpened:
        return FailPortOpen(out, port, driver.LastFault(), driver.LastErrorNumber(), record);
    case TUpdateOutcome::LinkFailed:
    case TUpdateOutcome::Refused:
        break;
    }
    return ReportNotFlashed(core, failureText(core.LastFailure()), out, record);
}

}  // namespace talvex::cli
