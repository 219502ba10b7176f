#include "app/cli/SystemView.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace talvex::cli {

namespace {

// udev's rules: shipped with packages, and the administrator's own.
const char *const kRulesDirs[] = {"/usr/lib/udev/rules.d", "/lib/udev/rules.d", "/etc/udev/rules.d"};

QString ReadText(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll());
}

// The words of "Key:\t..." in a /proc status file.
QStringList StatusField(const QString &status, const QString &key)
{
    for (const QString &line : status.split('\n'))
        if (line.startsWith(key + QLatin1Char(':')))
            return line.mid(key.size() + 1).simplified().split(' ', Qt::SkipEmptyParts);
    return {};
}

// The rows of a colon-separated database (/etc/passwd, /etc/group).
QList<QStringList> Rows(const QString &text)
{
    QList<QStringList> rows;
    for (const QString &line : text.split('\n', Qt::SkipEmptyParts))
        if (!line.startsWith('#'))
            rows << line.split(':');
    return rows;
}

}  // namespace

SystemView::SystemView() : root_(qEnvironmentVariable(kSystemRootEnv))
{
}

QString SystemView::path(const QString &absolute) const
{
    if (root_.isEmpty() || root_ == QLatin1String("/"))
        return absolute;
    return QDir::cleanPath(root_ + QLatin1Char('/') + absolute);
}

uid_t SystemView::uid() const
{
    const QStringList uids = StatusField(ReadText(path("/proc/self/status")), "Uid");
    bool ok = false;
    const uint real = uids.value(0).toUInt(&ok);
    return ok ? uid_t(real) : getuid();
}

QList<gid_t> SystemView::sessionGroups() const
{
    QList<gid_t> out;
    for (const QString &g : StatusField(ReadText(path("/proc/self/status")), "Groups"))
        out << gid_t(g.toUInt());
    return out;
}

QString SystemView::userName(uid_t uid) const
{
    for (const QStringList &row : Rows(ReadText(path("/etc/passwd"))))
        if (row.size() > 3 && row[2].toUInt() == uid)
            return row[0];
    return QString::number(uid);
}

std::optional<gid_t> SystemView::primaryGroup(uid_t uid) const
{
    for (const QStringList &row : Rows(ReadText(path("/etc/passwd"))))
        if (row.size() > 3 && row[2].toUInt() == uid)
            return gid_t(row[3].toUInt());
    return std::nullopt;
}

QList<GroupEntry> SystemView::groups() const
{
    QList<GroupEntry> out;
    for (const QStringList &row : Rows(ReadText(path("/etc/group"))))
        if (row.size() > 3)
            out.append({row[0], gid_t(row[2].toUInt()), row[3].split(',', Qt::SkipEmptyParts)});
    return out;
}

QList<ProcessEntry> SystemView::processes() const
{
    QList<ProcessEntry> out;
    const QString self = QString::number(getpid());
    const QDir proc(path("/proc"));
    for (const QString &entry : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool numeric = false;
        const int pid = entry.toInt(&numeric);
        if (!numeric || entry == self)
            continue;
        out.append({pid, ReadText(proc.filePath(entry + "/comm")).trimmed()});
    }
    return out;
}

QList<ProcessEntry> SystemView::holders(const QString &device) const
{
    // A pseudo-terminal's tty end is held by the program that made it (the
    // simulated module) as well: the other end of the line, not a second user.
    const QString ptyIndex = device.startsWith(QLatin1String("/dev/pts/")) ? device.mid(9) : QString();
    QList<ProcessEntry> out;
    const QDir proc(path("/proc"));
    for (const ProcessEntry &p : processes()) {
        // Another user's descriptors cannot be read without root: those are not seen.
        const QString pid = QString::number(p.pid);
        const QDir fds(proc.filePath(pid + "/fd"));
        bool holds = false;
        bool madeIt = false;
        for (const QFileInfo &fd : fds.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
            const QString target = fd.symLinkTarget();
            if (target == device)
                holds = true;
            else if (!ptyIndex.isEmpty() && target.endsWith(QLatin1String("/ptmx")))
                madeIt = madeIt || StatusField(ReadText(proc.filePath(pid + "/fdinfo/" + fd.fileName())),
                                               "tty-index") == QStringList{ptyIndex};
        }
        if (holds && !madeIt)
            out << p;
    }
    return out;
}

bool SystemView::running(const QString &name) const
{
    for (const ProcessEntry &p : processes())
        if (p.name == name)
            return true;
    return false;
}

QString SystemView::udevProperty(const DeviceNode &node, const QString &key) const
{
    // udev keeps each device's record in /run/udev/data/c<major>:<minor>; its
    // properties are the lines "E:KEY=VALUE".
    const QString record = ReadText(path(QStringLiteral("/run/udev/data/c%1:%2").arg(node.major).arg(node.minor)));
    const QString prefix = QStringLiteral("E:") + key + QLatin1Char('=');
    for (const QString &line : record.split('\n'))
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed();
    return {};
}

QStringList SystemView::rulesMentioning(const QString &needle) const
{
    QStringList out;
    for (const char *dir : kRulesDirs) {
        const QDir rules(path(QString::fromLatin1(dir)));
        for (const QString &name : rules.entryList({"*.rules"}, QDir::Files))
            if (ReadText(rules.filePath(name)).contains(needle, Qt::CaseInsensitive))
                out << QString::fromLatin1(dir) + QLatin1Char('/') + name;
    }
    return out;
}

QStringList SystemView::usbDevices() const
{
    QStringList out;
    const QDir usb(path("/sys/bus/usb/devices"));
    for (const QString &entry : usb.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString vendor = ReadText(usb.filePath(entry + "/idVendor")).trimmed().toLower();
        const QString product = ReadText(usb.filePath(entry + "/idProduct")).trimmed().toLower();
        if (!vendor.isEmpty())
            out << vendor + QLatin1Char(':') + product;
    }
    return out;
}

std::optional<int> SystemView::latencyTimerMs(const DeviceNode &node) const
{
    // The tty's "device" is the USB serial port; ftdi_sio gives it the timer.
    bool ok = false;
    const int ms = ReadText(
                       path(QStringLiteral("/sys/dev/char/%1:%2/device/latency_timer").arg(node.major).arg(node.minor)))
                       .trimmed()
                       .toInt(&ok);
    return ok ? std::optional(ms) : std::nullopt;
}

std::optional<DeviceNode> SystemView::Node(const QString &device)
{
    const QString resolved = QFileInfo(device).canonicalFilePath();
    struct stat st {};
    if (resolved.isEmpty() || ::stat(resolved.toLocal8Bit().constData(), &st) != 0 || !S_ISCHR(st.st_mode))
        return std::nullopt;
    return DeviceNode{resolved, major(st.st_rdev), minor(st.st_rdev), st.st_uid, st.st_gid, st.st_mode};
}

}  // namespace talvex::cli
