#pragma once
// What talvex-cli doctor reads of the system: the group database, the processes
// in /proc, udev's record of each device and its rules, and sysfs. Every path is
// read under one root, "/" unless TALVEX_SYSTEM_ROOT names another (tests build
// a small system there, so that each finding can be produced on a pty).
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
#include <sys/types.h>

namespace talvex::cli {

inline constexpr char kSystemRootEnv[] = "TALVEX_SYSTEM_ROOT";

struct GroupEntry {
    QString name;
    gid_t gid = 0;
    QStringList members;
};

struct ProcessEntry {
    int pid = 0;
    QString name;  // /proc/PID/comm
};

// The device node `path` leads to: its character-device numbers, owner, group and mode.
struct DeviceNode {
    QString path;  // resolved, /dev/ttyUSB0
    unsigned major = 0;
    unsigned minor = 0;
    uid_t owner = 0;
    gid_t group = 0;
    mode_t mode = 0;
};

class SystemView {
public:
    // The root from the environment.
    SystemView();
    explicit SystemView(QString root) : root_(std::move(root)) {}

    // A system path under the root.
    QString path(const QString &absolute) const;

    // This process's user and groups as the kernel gives them to this session
    // (/proc/self/status: Uid and Groups).
    uid_t uid() const;
    QList<gid_t> sessionGroups() const;
    // The user's name and primary group from the password database.
    QString userName(uid_t uid) const;
    std::optional<gid_t> primaryGroup(uid_t uid) const;
    QList<GroupEntry> groups() const;

    // Every process but this one, and the ones among them with `device` open.
    QList<ProcessEntry> processes() const;
    QList<ProcessEntry> holders(const QString &device) const;
    bool running(const QString &name) const;

    // udev's properties of a character device ("ID_MM_DEVICE_IGNORE" -> "1").
    QString udevProperty(const DeviceNode &node, const QString &key) const;
    // The udev rules files (system and local) whose text contains `needle`.
    QStringList rulesMentioning(const QString &needle) const;
    // The USB devices plugged in, as "vendor:product" in lower-case hex.
    QStringList usbDevices() const;
    // An FTDI adapter's latency timer in ms, when the driver has one.
    std::optional<int> latencyTimerMs(const DeviceNode &node) const;

    // The node behind `device` (links followed), or nothing when it is not a character device.
    static std::optional<DeviceNode> Node(const QString &device);

private:
    QString root_;
};

}  // namespace talvex::cli
