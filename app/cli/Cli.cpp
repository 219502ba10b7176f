#include "Cli.h"

#include "Commands.h"
#include "Interrupt.h"
#include "Options.h"
#include "Output.h"
#include "Port.h"

#include "FirmwareImage.h"
#include "SerialPort.h"

#include <QFileInfo>
#include <QJsonObject>

namespace talvex::cli {

namespace {

int Version(Output &out)
{
    qint64 size = -1;
    const bool acceptable = CarriedFirmwareImageAcceptable(&size);
    const QString image = !acceptable ? QStringLiteral("unusable")
                          : CarriedFirmwareIsStandIn()
                              ? QStringLiteral("%1 bytes, the stand-in (not the module's firmware)").arg(size)
                              : QStringLiteral("%1 bytes").arg(size);
    out.result(QStringLiteral("talvex-cli %1\nfirmware image: %2").arg(QStringLiteral(TALVEX_VERSION), image),
               QJsonObject{{"version", QStringLiteral(TALVEX_VERSION)},
                           {"image_bytes", size},
                           {"image_standin", CarriedFirmwareIsStandIn()}});
    return kExitDone;
}

} // namespace

int RunPorts(Output &out)
{
    for (int n = 1; n <= 8; ++n) {
        PortTarget port;
        ResolvePort(QStringLiteral("COM%1").arg(n), port);
        const QString device = QString::fromStdString(port.device);
        const DeviceKind kind = ClassifyDevice(port.device);
        const bool present = kind == DeviceKind::SerialDevice || kind == DeviceKind::PseudoTerminal;
        const bool pty = kind == DeviceKind::PseudoTerminal;
        const QString state = kind == DeviceKind::Absent      ? QStringLiteral("missing")
                              : kind == DeviceKind::NotSerial ? QStringLiteral("not a serial device")
                              : pty                           ? QStringLiteral("pseudo-terminal")
                                                              : QStringLiteral("present");
        out.result(QStringLiteral("%1 %2 %3").arg(port.name, device, state),
                   QJsonObject{{"port", port.name}, {"device", device}, {"present", present}, {"pty", pty}});
    }
    return kExitDone;
}

int RunCli(const QStringList &args)
{
    Options o;
    QString error;
    if (!ParseArguments(args, o, error)) {
        Output out(false, false);
        out.error(error + QStringLiteral("\n(talvex-cli --help shows the usage)"));
        return kExitUsage;
    }
    Output out(o.json, o.quiet);
    PortTarget port;
    if (!ResolvePort(o.port, port) && o.command != Command::Help && o.command != Command::Version &&
        o.command != Command::Ports) {
        out.error(QStringLiteral("port \"%1\" is neither COM1 ... COM8 nor a device path").arg(o.port));
        return kExitUsage;
    }
    InstallInterruptHandlers();
    switch (o.command) {
    case Command::Help:
        std::fputs(Usage().toUtf8().constData(), stdout);
        return kExitDone;
    case Command::Version:
        return Version(out);
    case Command::Ports:
        return RunPorts(out);
    case Command::Info:
        return RunInfo(o, port, out);
    case Command::Read:
        return RunRead(o, port, out);
    case Command::Watch:
        return RunWatch(o, port, out);
    case Command::Write:
        return RunWrite(o, port, out);
    case Command::Configure:
        return RunConfigure(o, port, out);
    case Command::Flash:
        return RunFlash(o, port, out);
    }
    return kExitUsage;
}

} // namespace talvex::cli
