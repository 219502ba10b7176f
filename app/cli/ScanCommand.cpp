// scan: the search for a module whose station, baud rate or format is not known,
// run by the engine the window's find dialog runs.
#include "app/cli/Commands.h"
#include "app/cli/Interrupt.h"
#include "app/cli/PortError.h"

#include "modbus/ModuleConfig.h"
#include "modbus/ScanEngine.h"
#include "serial/QRT_ComDrv.h"

#include <QEventLoop>
#include <QTimer>

namespace talvex::cli {

namespace {

// How often an interrupt is looked for while the search runs.
constexpr int kInterruptCheckMs = 50;

QString LineName(TModbusLine line)
{
    return QString::fromStdString(LineText(line));
}

// One module found: a line of text, or the JSON object with station, baud,
// format, firmware and settings.
void Report(const TFoundModule &m, Output &out)
{
    std::array<uint16_t, kMirrorWords> registers{};
    for (int r = kModuleReadFirst; r < kModuleReadFirst + kModuleReadCount; ++r)
        registers[static_cast<size_t>(r)] = m.Register(r);
    QString settingsText;
    QJsonObject settings;
    AddModuleSettings(registers.data(), settingsText, settings);
    const QString firmware = QString::fromStdString(FirmwareVersionText(m.Firmware()));
    QString text = QStringLiteral("found: station %1, %2, firmware %3\n").arg(m.Station).arg(LineName(m.Line), firmware);
    for (const QString &line : settingsText.split('\n', Qt::SkipEmptyParts))
        text += QStringLiteral("  ") + line + '\n';
    out.result(text, QJsonObject{{"station", m.Station},
                                 {"baud", int(LineBaud(m.Line))},
                                 {"format", QString::fromUtf8(kDat485Texts[size_t(m.Line.Format)])},
                                 {"firmware", firmware},
                                 {"settings", settings}});
}

}  // namespace

int RunScan(const Options &o, const PortTarget &port, Output &out)
{
    TQRTCommDriver driver;
    if (port.comIndex >= 0)
        driver.SetComPort(static_cast<TComPortNumber>(port.comIndex));
    else
        driver.SetDevicePath(port.device);
    TScanEngine engine(driver);

    TScanEnd end = TScanEnd::Completed;
    bool interrupted = false;
    QEventLoop loop;
    int lineStartPercent = 0;
    TModbusLine shownLine{-1, -1};
    QObject::connect(&engine, &TScanEngine::Progress, [&](const TScanProgress &p) {
        // A line of its own for every line of the search (where a log sees only
        // those); station and percent rewrite themselves on a terminal.
        if (p.Probe.Line != shownLine) {
            shownLine = p.Probe.Line;
            lineStartPercent = p.Percent;
        }
        out.progress(QStringLiteral("scanning %1 (%2 % done)").arg(LineName(shownLine)).arg(lineStartPercent),
                     QStringLiteral("station %1, %2 %").arg(p.Probe.Station).arg(p.Percent));
    });
    QObject::connect(&engine, &TScanEngine::ModuleFound, [&](const TFoundModule &m) { Report(m, out); });
    QObject::connect(&engine, &TScanEngine::Finished, [&](TScanEnd e) {
        end = e;
        loop.quit();
    });
    QTimer interruptCheck;
    QObject::connect(&interruptCheck, &QTimer::timeout, [&] {
        if (Interrupted()) {
            interrupted = true;
            engine.Stop();
        }
    });
    interruptCheck.start(kInterruptCheckMs);
    if (!engine.Start(o.scan))
        return out.fail(kExitUsage, QStringLiteral("usage"), QStringLiteral("nothing to scan"));
    if (engine.Running())
        loop.exec();
    out.endProgress();

    if (end == TScanEnd::PortFailed) {
        if (driver.DeviceLost())
            return FailAdapterRemoved(out, port, QStringLiteral("scan"));
        return FailPortOpen(out, port, driver.LastFault(), driver.LastErrorNumber());
    }
    const int found = static_cast<int>(engine.Found().size());
    const double seconds = double(engine.ElapsedMs()) / 1000.0;
    out.result(QStringLiteral("%1 found; %2 of %3 probes in %4 s%5")
                   .arg(found == 1 ? QStringLiteral("1 module") : QStringLiteral("%1 modules").arg(found))
                   .arg(engine.ProbesSent())
                   .arg(engine.Order().size())
                   .arg(seconds, 0, 'f', 1)
                   .arg(interrupted ? QStringLiteral(" (interrupted)") : QString()),
               QJsonObject{{"summary", true},
                           {"found", found},
                           {"probes", engine.ProbesSent()},
                           {"planned_probes", int(engine.Order().size())},
                           {"seconds", seconds},
                           {"complete", end == TScanEnd::Completed},
                           {"interrupted", interrupted}});
    if (interrupted)
        return out.fail(InterruptStatus(), QStringLiteral("scan"), QStringLiteral("interrupted"));
    if (found == 0)
        return out.fail(kExitFailed, QStringLiteral("scan"),
                        QStringLiteral("no module answered on %1 (%2 probes)").arg(port.name).arg(engine.ProbesSent()));
    return kExitDone;
}

}  // namespace talvex::cli
