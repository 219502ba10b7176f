// flash: the firmware window's update (line sequence, the eleven states, three
// runs) on the same engine, with the carried image or a file.
#include "Commands.h"
#include "Interrupt.h"

#include "FirmwareImage.h"
#include "Isp.h"
#include "SerialPort.h"
#include "Stm32Protocol.h"
#include "UpdateEngine.h"

#include <QEventLoop>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTimer>

namespace talvex::cli {

namespace {

// How often a running update looks for SIGINT/SIGTERM.
constexpr int kInterruptCheckMs = 100;

} // namespace

int RunFlash(const Options &o, const PortTarget &port, Output &out)
{
    qint64 carriedSize = -1;
    if (o.image.isEmpty() && !CarriedFirmwareImageAcceptable(&carriedSize)) {
        out.error(QStringLiteral("the carried firmware image is unusable (%1 bytes); nothing was sent")
                      .arg(carriedSize));
        return kExitFailed;
    }
    const DeviceKind kind = ClassifyDevice(port.device);
    if (kind == DeviceKind::Absent || kind == DeviceKind::NotSerial) {
        out.error(CannotOpen(port, kind == DeviceKind::Absent ? PortFault::NotPresent : PortFault::NotSerialDevice, 0));
        return kExitPort;
    }
    // The stand-in replaces working firmware with an idle loop: never onto a
    // real module unless asked for in so many words. The simulated module (a pty) is fine.
    if (o.image.isEmpty() && CarriedFirmwareIsStandIn() && !(kind == DeviceKind::PseudoTerminal) && !o.yesStandIn) {
        out.error(QStringLiteral("%1 is a real line, not a pseudo-terminal, and this build carries the stand-in "
                                 "image, not the module's firmware; nothing was sent (--yes-standin writes it all "
                                 "the same, --image FILE writes another image)")
                      .arg(port.name));
        return kExitUsage;
    }

    TQRTCommDriver driver;
    TUpdateEngine engine(driver);
    if (port.comIndex >= 0)
        engine.SetPortIndex(port.comIndex);
    else
        engine.SetDevicePath(port.device);
    if (!o.image.isEmpty()) {
        const QString path = o.image;
        engine.SetImageLoader([path] { return LoadFirmwareImageFrom(path); });
    }

    // The engine reports the window's status texts; a trailing percentage is
    // progress within the stage before it.
    static const QRegularExpression percentage(QStringLiteral("^(.*?)\\s*(\\d+%)$"));
    QObject::connect(&engine, &TUpdateEngine::statusChanged, [&](const QString &text) {
        const QRegularExpressionMatch m = percentage.match(text);
        if (m.hasMatch())
            out.progress(m.captured(1), m.captured(2));
        else
            out.progress(text, QString());
    });

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
        engine.Timer5.stop();
        engine.OvertimeT.stop();
        driver.Close();
        loop.quit();
    });
    interruptCheck.start(kInterruptCheckMs);
    QTimer::singleShot(0, &engine, &TUpdateEngine::Start);
    loop.exec();
    out.endProgress();

    if (interrupted) {
        out.error(QStringLiteral("interrupted; the module's flash may be incomplete, run flash again"));
        return kExitFailed;
    }
    if (removed) {
        out.error(AdapterRemoved(port) + QStringLiteral("; the module's flash may be incomplete, run flash again"));
        return kExitPort;
    }
    if (noModemLines) {
        out.error(QStringLiteral("%1 does not drive DTR/RTS, so the module cannot be put into its bootloader "
                                 "from here; hold BOOT0 high, reset the module and use --boot-entry manual")
                      .arg(port.name));
        return kExitPort;
    }
    switch (outcome) {
    case TUpdateOutcome::Done: {
        const qint64 bytes = ImageStream ? ImageStream->size() : 0;
        const int runs = engine.RetryCount + 1;
        out.result(QStringLiteral("flashed %1 bytes at 0x%2 (%3 of %4 runs)")
                       .arg(bytes)
                       .arg(stm32::kFlashBase, 8, 16, QLatin1Char('0'))
                       .arg(runs)
                       .arg(Isp::kMaxRuns),
                   QJsonObject{{"flashed", true},
                               {"bytes", bytes},
                               {"image", o.image.isEmpty() ? QStringLiteral("carried") : o.image},
                               {"standin", o.image.isEmpty() && CarriedFirmwareIsStandIn()},
                               {"runs", runs}});
        return kExitDone;
    }
    case TUpdateOutcome::PortNotOpened:
        out.error(CannotOpen(port, driver.LastFault(), driver.LastErrorNumber()));
        return kExitPort;
    case TUpdateOutcome::LinkFailed:
        break;
    }
    out.error(QStringLiteral("update failed: the bootloader did not complete the update in %1 runs").arg(Isp::kMaxRuns));
    return kExitFailed;
}

} // namespace talvex::cli
