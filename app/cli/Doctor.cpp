#include "app/cli/Doctor.h"

#include "serial/ById.h"
#include "serial/PortNames.h"
#include "serial/SerialPort.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>

#include <sys/stat.h>

namespace talvex::cli {

namespace {

// USB-serial chips the braille display daemon's udev rules take for braille
// displays: WCH CH340/CH341 and Silicon Labs CP210x (vendor IDs).
const QStringList kBrailleClaimedVendors = {QStringLiteral("1a86"), QStringLiteral("10c4")};
// The daemon's process, and the words its rules files carry.
const QString kBrailleDaemon = QStringLiteral("brltty");
const QString kModemManager = QStringLiteral("ModemManager");
// The rule this package ships so that the modem manager leaves the adapters alone.
const QString kOwnRule = QStringLiteral("/usr/lib/udev/rules.d/70-talvex-serial.rules");
// An FTDI latency timer above this holds every reply back.
constexpr int kLowLatencyMs = 1;

QString GroupName(const SystemView &system, gid_t gid)
{
    for (const GroupEntry &g : system.groups())
        if (g.gid == gid)
            return g.name;
    return QString::number(gid);
}

bool InGroupDatabase(const SystemView &system, uid_t uid, gid_t gid)
{
    if (system.primaryGroup(uid) == gid)
        return true;
    const QString user = system.userName(uid);
    for (const GroupEntry &g : system.groups())
        if (g.gid == gid && g.members.contains(user))
            return true;
    return false;
}

// Who may open the device: root, its owner, everyone by its mode, or its group.
void CheckAccess(const SystemView &system, const DeviceNode &node, QList<Finding> &out)
{
    const uid_t uid = system.uid();
    constexpr mode_t kOthersReadWrite = S_IROTH | S_IWOTH;
    if (uid == 0 || node.owner == uid || (node.mode & kOthersReadWrite) == kOthersReadWrite)
        return;
    if (system.sessionGroups().contains(node.group))
        return;
    const QString group = GroupName(system, node.group);
    const QString user = system.userName(uid);
    if (!InGroupDatabase(system, uid, node.group)) {
        out.append({"group", node.path,
                    QStringLiteral("user %1 is not in group %2, which %3 belongs to").arg(user, group, node.path),
                    QStringLiteral("sudo usermod -aG %1 %2   # then log out and in again").arg(group, user),
                    QStringLiteral("no access: not in group %1").arg(group)});
        return;
    }
    out.append({"session", node.path,
                QStringLiteral("user %1 was added to group %2 after this session began, so %3 stays closed "
                               "until the next login")
                    .arg(user, group, node.path),
                QStringLiteral("newgrp %1   # in this shell only; or log out and in again").arg(group),
                QStringLiteral("no access until the next login (group %1)").arg(group)});
}

void CheckModemManager(const SystemView &system, const DeviceNode &node, QList<Finding> &out)
{
    const bool acm = QFileInfo(node.path).fileName().startsWith(QLatin1String("ttyACM")) ||
                     system.udevProperty(node, "ID_USB_DRIVER") == QLatin1String("cdc_acm");
    if (!acm || system.udevProperty(node, "ID_MM_DEVICE_IGNORE") == QLatin1String("1") ||
        !system.running(kModemManager))
        return;
    const QString fix = QFileInfo::exists(system.path(kOwnRule))
                            ? QStringLiteral("sudo udevadm control --reload && sudo udevadm trigger "
                                             "--subsystem-match=tty   # %1 is there; then replug")
                                  .arg(kOwnRule)
                            : QStringLiteral("sudo systemctl disable --now ModemManager   # or install talvex's "
                                             "udev rule (man talvex-cli)");
    out.append({"modem-manager", node.path,
                QStringLiteral("ModemManager probes %1: it sends AT commands into the module when the port appears")
                    .arg(node.path),
                fix, QStringLiteral("ModemManager probes it")});
}

void CheckLatency(const SystemView &system, const DeviceNode &node, QList<Finding> &out)
{
    const std::optional<int> ms = system.latencyTimerMs(node);
    if (!ms || *ms <= kLowLatencyMs)
        return;
    const QString name = QFileInfo(node.path).fileName();
    out.append({"latency", node.path,
                QStringLiteral("the FTDI latency timer of %1 is at %2 ms: talvex asks for 1 ms at each open, other "
                               "programs wait up to %2 ms for every reply")
                    .arg(node.path)
                    .arg(*ms),
                QStringLiteral("echo 1 | sudo tee /sys/bus/usb-serial/devices/%1/latency_timer").arg(name),
                QStringLiteral("latency timer %1 ms").arg(*ms)});
}

void CheckHolders(const SystemView &system, const DeviceNode &node, QList<Finding> &out)
{
    for (const ProcessEntry &p : system.holders(node.path))
        out.append({"held", node.path, QStringLiteral("%1 is held by %2 (PID %3)").arg(node.path, p.name).arg(p.pid),
                    QStringLiteral("kill %1   # or close %2").arg(p.pid).arg(p.name),
                    QStringLiteral("held by %1 (PID %2)").arg(p.name).arg(p.pid)});
}

// A serial device or a pseudo-terminal; the node behind it.
std::optional<DeviceNode> SerialNode(const QString &device)
{
    const DeviceKind kind = ClassifyDevice(device.toStdString());
    if (kind != DeviceKind::SerialDevice && kind != DeviceKind::PseudoTerminal)
        return std::nullopt;
    return SystemView::Node(device);
}

// The devices doctor looks at without -p: where each COM name and each by-id link leads.
QStringList PresentDevices()
{
    QStringList devices;
    for (int n = 1; n <= kComPortCount; ++n) {
        PortTarget port;
        ResolvePort(QStringLiteral("COM%1").arg(n), port);
        if (const std::optional<DeviceNode> node = SerialNode(QString::fromStdString(port.device)))
            devices << node->path;
    }
    for (const ByIdLink &link : ByIdLinks())
        if (SerialNode(link.path))
            devices << link.target;
    devices.removeDuplicates();
    return devices;
}

void Report(Output &out, const Finding &f)
{
    out.result(QStringLiteral("problem: %1\n  fix: %2").arg(f.found, f.fix),
               QJsonObject{{"check", f.check},
                           {"device", f.device.isEmpty() ? QJsonValue() : QJsonValue(f.device)},
                           {"found", f.found},
                           {"fix", f.fix}});
}

}  // namespace

QList<Finding> DeviceFindings(const SystemView &system, const DeviceNode &node)
{
    QList<Finding> out;
    CheckAccess(system, node, out);
    CheckHolders(system, node, out);
    CheckModemManager(system, node, out);
    CheckLatency(system, node, out);
    return out;
}

QStringList PortMarks(const SystemView &system, const DeviceNode &node)
{
    QStringList marks;
    for (const Finding &f : DeviceFindings(system, node))
        marks << f.mark;
    if (kBrailleClaimedVendors.contains(system.udevProperty(node, "ID_VENDOR_ID").toLower()) &&
        !SystemFindings(system).isEmpty())
        marks << QStringLiteral("brltty may claim it");
    return marks;
}

QList<Finding> SystemFindings(const SystemView &system)
{
    QStringList rules;
    for (const QString &vendor : kBrailleClaimedVendors)
        for (const QString &file : system.rulesMentioning(vendor))
            if (file.contains(kBrailleDaemon) && !rules.contains(file))
                rules << file;
    if (rules.isEmpty() && !system.running(kBrailleDaemon))
        return {};
    QStringList plugged;
    for (const QString &usb : system.usbDevices())
        if (kBrailleClaimedVendors.contains(usb.section(':', 0, 0)))
            plugged << usb;
    const QString where = rules.isEmpty() ? QStringLiteral("it is running") : rules.join(", ");
    const QString now = plugged.isEmpty() ? QString() : QStringLiteral("; plugged now: %1").arg(plugged.join(", "));
    return {{"brltty",
             {},
             QStringLiteral("brltty, the braille display daemon, claims CH340 and CP210x adapters the moment they "
                            "are plugged, and their ttyUSB goes away (%1%2)")
                 .arg(where, now),
             QStringLiteral("sudo apt remove brltty   # unless a braille display is in use"),
             QStringLiteral("brltty claims such adapters")}};
}

int RunDoctor(const Options &o, const PortTarget &port, Output &out)
{
    const SystemView system;
    QList<Finding> findings = SystemFindings(system);
    QStringList devices;
    if (o.portGiven) {
        const QString device = QString::fromStdString(port.device);
        if (const std::optional<DeviceNode> node = SerialNode(device))
            devices << node->path;
        else
            findings.append({"absent", device,
                             QStringLiteral("%1 (%2) is not there, or is no serial device").arg(port.name, device),
                             QStringLiteral("talvex-cli ports   # where the COM names lead, and the adapters plugged"),
                             QString()});
    } else {
        devices = PresentDevices();
    }
    for (const QString &device : devices)
        if (const std::optional<DeviceNode> node = SystemView::Node(device))
            findings += DeviceFindings(system, *node);

    for (const Finding &f : findings)
        Report(out, f);
    const QString checked = devices.isEmpty() ? QStringLiteral("no serial device present") : devices.join(", ");
    out.result(findings.isEmpty() ? QStringLiteral("ok: nothing in the way (%1)").arg(checked)
                                  : QStringLiteral("%1 problem(s) (%2)").arg(findings.size()).arg(checked),
               QJsonObject{{"ok", findings.isEmpty()},
                           {"problems", int(findings.size())},
                           {"devices", QJsonArray::fromStringList(devices)}});
    return findings.isEmpty() ? kExitDone : kExitFailed;
}

}  // namespace talvex::cli
