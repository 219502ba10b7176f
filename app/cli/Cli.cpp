#include "app/cli/Cli.h"

#include "app/cli/Commands.h"
#include "app/cli/Doctor.h"
#include "app/cli/Interrupt.h"
#include "app/cli/Options.h"
#include "app/cli/Output.h"
#include "app/cli/Port.h"
#include "app/cli/TraceFile.h"
#include "serial/ById.h"

#include "firmware/FirmwareImage.h"
#include "serial/SerialPort.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QMap>

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

}  // namespace

// What doctor finds in the way of `device`, as marks beside it: " [held by minicom (PID 812)]".
QStringList MarksOf(const SystemView &system, const QString &device)
{
    const std::optional<DeviceNode> node = SystemView::Node(device);
    return node ? PortMarks(system, *node) : QStringList();
}

QString MarksText(const QStringList &marks)
{
    return marks.isEmpty() ? QString() : QStringLiteral("  [%1]").arg(marks.join("; "));
}

int RunPorts(Output &out)
{
    const SystemView system;
    const QList<ByIdLink> links = ByIdLinks();
    // Which COM names lead to each device, for the adapters' lines.
    QMap<QString, QStringList> comsOf;
    for (int n = 1; n <= 8; ++n) {
        PortTarget port;
        ResolvePort(QStringLiteral("COM%1").arg(n), port);
        const QString device = QString::fromStdString(port.device);
        const DeviceKind kind = ClassifyDevice(port.device);
        const bool present = kind == DeviceKind::SerialDevice || kind == DeviceKind::PseudoTerminal;
        const bool pty = kind == DeviceKind::PseudoTerminal;
        const QString state = kind == DeviceKind::Absent      ? QStringLiteral("missing")
                              : kind == DeviceKind::NotSerial ? QStringLiteral("not a serial device")
                              : kind == DeviceKind::Console   ? QStringLiteral("a console, not a serial adapter")
                              : pty                           ? QStringLiteral("pseudo-terminal")
                                                              : QStringLiteral("present");
        const QString target = QFileInfo(device).canonicalFilePath();
        QString byId;
        for (const ByIdLink &link : links)
            if (!target.isEmpty() && link.target == target)
                byId = link.path;
        if (!target.isEmpty())
            comsOf[target] << port.name;
        const QStringList marks = present ? MarksOf(system, device) : QStringList();
        out.result(QStringLiteral("%1 %2 %3%4%5")
                       .arg(port.name, device, state,
                            byId.isEmpty()
                                ? QString()
                                : QStringLiteral(" %1 (%2)").arg(AdapterName(QFileInfo(byId).fileName()), byId),
                            MarksText(marks)),
                   QJsonObject{{"port", port.name},
                               {"device", device},
                               {"present", present},
                               {"pty", pty},
                               {"by_id", byId.isEmpty() ? QJsonValue() : QJsonValue(byId)},
                               {"problems", QJsonArray::fromStringList(marks)}});
    }
    if (!links.isEmpty() && !out.json())
        out.result(QStringLiteral("adapters (%1):").arg(ByIdDir()), {});
    for (const ByIdLink &link : links) {
        const QStringList coms = comsOf.value(link.target);
        const QStringList marks = MarksOf(system, link.path);
        out.result(QStringLiteral("%1 -> %2%3  %4%5")
                       .arg(link.name, link.target.isEmpty() ? QStringLiteral("(dangling)") : link.target,
                            coms.isEmpty() ? QString() : QStringLiteral(" = ") + coms.join(", "),
                            AdapterName(link.name), MarksText(marks)),
                   QJsonObject{{"by_id", link.path},
                               {"adapter", AdapterName(link.name)},
                               {"device", link.target},
                               {"com", QJsonArray::fromStringList(coms)},
                               {"problems", QJsonArray::fromStringList(marks)}});
    }
    return kExitDone;
}

namespace {

int Dispatch(const Options &o, const PortTarget &port, Output &out)
{
    switch (o.command) {
    case Command::Help:
        out.result(Usage(), {});
        return kExitDone;
    case Command::Version:
        return Version(out);
    case Command::Ports:
        return RunPorts(out);
    case Command::Doctor:
        return RunDoctor(o, port, out);
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
    case Command::Scan:
        return RunScan(o, port, out);
    case Command::ReadFlash:
        return RunReadFlash(o, port, out);
    case Command::Recipe:
        return RunRecipe(o, out);
    case Command::Records:
        return RunRecords(o, out);
    case Command::Station:
        return RunStation(o, out);
    }
    return kExitUsage;
}

}  // namespace

int RunCli(const QStringList &args)
{
    Options o;
    QString error;
    if (!ParseArguments(args, o, error)) {
        // --json may be what could not be parsed past: look for it among the words.
        Output out(args.contains(QStringLiteral("--json")), false);
        return out.fail(kExitUsage, QStringLiteral("usage"),
                        error + (args.contains(QStringLiteral("--json"))
                                     ? QString()
                                     : QStringLiteral("\n(talvex-cli --help shows the usage)")));
    }
    Output out(o.json && o.command != Command::Help, o.quiet);
    PortTarget port;
    if (!ResolvePort(o.port, port) && o.command != Command::Help && o.command != Command::Version &&
        o.command != Command::Ports && (o.command != Command::Doctor || o.portGiven))
        return out.fail(kExitUsage, QStringLiteral("usage"),
                        QStringLiteral("port \"%1\" is neither COM1 ... COM8 nor a device path").arg(o.port));
    if (!o.logPath.isEmpty() && !out.openLog(o.logPath, error))
        return out.fail(kExitUsage, QStringLiteral("usage"), error);
    if (!o.tracePath.isEmpty() && !OpenTraceFile(o.tracePath, error))
        return out.fail(kExitUsage, QStringLiteral("usage"), error);
    InstallInterruptHandlers();
    const int status = Dispatch(o, port, out);
    CloseTraceFile();
    if (out.lost()) {
        // The log has it already, in the record of what the command did.
        out.failLost(kExitFailed);
        return status == kExitDone ? kExitFailed : status;
    }
    return status;
}

}  // namespace talvex::cli
