#include "app/cli/BootloaderRun.h"

#include "app/cli/Interrupt.h"
#include "app/cli/Options.h"
#include "app/cli/PortError.h"
#include "app/cli/UpdateWording.h"
#include "firmware/Isp.h"
#include "serial/ById.h"

#include <QEventLoop>
#include <QTimer>

namespace talvex::cli {

namespace {
// How often a running update looks for SIGINT/SIGTERM.
constexpr int kInterruptCheckMs = 100;
}  // namespace

QJsonObject StartRecord(const QString &command, const PortTarget &port)
{
    const QString byId = ByIdPathOf(port.device);
    return QJsonObject{{"time", NowUtc()},
                       {"command", command},
                       {"tool_version", QStringLiteral(TALVEX_VERSION)},
                       {"port", port.name},
                       {"port_by_id", byId.isEmpty() ? QJsonValue() : QJsonValue(byId)}};
}

void AimAt(TUpdateEngine &engine, const PortTarget &port)
{
    if (port.comIndex >= 0)
        engine.SetPortIndex(port.comIndex);
    else
        engine.SetDevicePath(port.device);
}

BootloaderRun RunToEnd(TUpdateEngine &engine, TQRTCommDriver &driver, DeviceKind kind, Output &out,
                       const std::function<QString(const TUpdateFailure &)> &failureText)
{
    const TUpdateCore &core = engine.Core();
    QObject::connect(&engine, &TUpdateEngine::stageChanged, [&](TUpdateStage stage, int percent) {
        out.progress(StageText(stage), StageCountsPercent(stage) ? QStringLiteral("%1%").arg(percent) : QString());
    });
    QObject::connect(&engine, &TUpdateEngine::runFailed, [&](const TUpdateFailure &failure) {
        if (core.Runs() < Isp::kMaxRuns && failure.cause != TUpdateCause::ImageTooLarge &&
            failure.cause != TUpdateCause::VerifyMismatch && failure.cause != TUpdateCause::WrongChip &&
            failure.cause != TUpdateCause::ReadProtected && failure.cause != TUpdateCause::WriteProtected &&
            failure.cause != TUpdateCause::NotProtected)
            out.note(
                QStringLiteral("run %1 of %2 failed: %3").arg(core.Runs()).arg(Isp::kMaxRuns).arg(failureText(failure)));
    });

    BootloaderRun run;
    // An adapter without DTR/RTS cannot start the bootloader; a pty has none and
    // needs none (the simulated module starts its bootloader by itself).
    if (kind == DeviceKind::SerialDevice)
        QObject::connect(&engine, &TUpdateEngine::modemLinesRefused, [&] { run.noModemLines = true; });

    QEventLoop loop;
    QObject::connect(&engine, &TUpdateEngine::finished, [&](TUpdateOutcome o) {
        run.outcome = o;
        loop.quit();
    });
    QTimer interruptCheck;
    QObject::connect(&interruptCheck, &QTimer::timeout, [&] {
        run.removed = driver.DeviceLost();
        run.interrupted = Interrupted();
        if (!run.interrupted && !run.removed && !run.noModemLines)
            return;
        engine.Stop();
        loop.quit();
    });
    interruptCheck.start(kInterruptCheckMs);
    QTimer::singleShot(0, &engine, &TUpdateEngine::Start);
    loop.exec();
    out.endProgress();
    return run;
}

void AddChipFacts(const TUpdateCore &core, QJsonObject &record)
{
    if (core.ProductId() != 0)
        record["product_id"] = Hex(core.ProductId(), 4);
    if (core.BootloaderVersion() != 0)
        record["bootloader"] =
            QStringLiteral("%1.%2").arg(core.BootloaderVersion() >> 4).arg(core.BootloaderVersion() & 0x0F);
    if (core.FlashSizeKiB() != 0)
        record["flash_kib"] = core.FlashSizeKiB();
    if (!core.UniqueId().empty())
        record["unique_id"] = QString::fromStdString(core.UniqueId());
}

int FailStopped(const BootloaderRun &run, const TUpdateCore &core, const PortTarget &port, Output &out,
                const QString &incomplete, QJsonObject &record)
{
    if (run.interrupted)
        return out.fail(InterruptStatus(), StageName(core.StageOf(core.IspState())),
                        QStringLiteral("interrupted; %1").arg(incomplete), record);
    if (run.removed)
        return FailAdapterRemoved(out, port, StageName(core.StageOf(core.IspState())),
                                  QStringLiteral("; %1").arg(incomplete), record);
    if (run.noModemLines)
        return out.fail(kExitPort, QStringLiteral("boot entry"),
                        QStringLiteral("%1 does not drive DTR/RTS, so the module cannot be put into its bootloader "
                                       "from here; hold BOOT0 high, reset the module and use --boot-entry manual")
                            .arg(port.name),
                        record);
    return 0;
}

}  // namespace talvex::cli
