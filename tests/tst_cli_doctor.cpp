// talvex-cli doctor and the marks of `ports`, each finding produced on a pty:
// the system files doctor reads (group and password databases, /proc, udev's
// records and rules, sysfs) are a small system built under TALVEX_SYSTEM_ROOT.
#include "tests/support/PtyPair.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

// The user doctor believes it runs as; no real account has this number.
constexpr int kUid = 4711;
constexpr int kOtherGid = 4712;
constexpr int kHolderPid = 4242;

enum class Setup {
    Clean,
    NotInGroup,
    SessionPredatesGroup,
    Held,
    ModemManager,
    ModemManagerIgnored,
    Latency16,
    Latency1,
    Brltty,
    PtyMaker
};

struct Run {
    int status = -1;
    QString out;
    QString err;
};

}  // namespace
Q_DECLARE_METATYPE(Setup)

class TestCliDoctor : public QObject {
    Q_OBJECT

    QTemporaryDir root_;
    std::unique_ptr<PtyPair> pty_;
    QString device_;  // the pty's tty end, resolved
    struct stat node_ {};

    void write(const QString &relative, const QByteArray &text)
    {
        const QString path = root_.filePath(relative);
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    }
    QString nodeName() const { return QStringLiteral("%1:%2").arg(major(node_.st_rdev)).arg(minor(node_.st_rdev)); }
    QByteArray gid() const { return QByteArray::number(node_.st_gid); }

    // A user "tester" in its own group; the pty belongs to group "dialout" (its real gid).
    void baseSystem(bool inGroup, bool inSession)
    {
        write("etc/passwd", QByteArray("root:x:0:0::/root:/bin/sh\ntester:x:") + QByteArray::number(kUid) + ":" +
                                QByteArray::number(kOtherGid) + "::/home/tester:/bin/sh\n");
        write("etc/group", "dialout:x:" + gid() + ":" + (inGroup ? "tester" : "") +
                               "\ntester:x:" + QByteArray::number(kOtherGid) + ":\n");
        write("proc/self/status", "Name:\ttalvex-cli\nUid:\t" + QByteArray::number(kUid) + "\t" +
                                      QByteArray::number(kUid) + "\t0\t0\nGroups:\t" + QByteArray::number(kOtherGid) +
                                      (inSession ? " " + gid() : QByteArray()) + "\n");
    }
    void process(int pid, const QByteArray &name, bool holdsPort)
    {
        write(QStringLiteral("proc/%1/comm").arg(pid), name + "\n");
        QDir().mkpath(root_.filePath(QStringLiteral("proc/%1/fd").arg(pid)));
        if (holdsPort)
            QVERIFY(QFile::link(device_, root_.filePath(QStringLiteral("proc/%1/fd/3").arg(pid))));
    }

    void build(Setup setup)
    {
        baseSystem(setup != Setup::NotInGroup, setup != Setup::NotInGroup && setup != Setup::SessionPredatesGroup);
        process(1, "systemd", false);
        switch (setup) {
        case Setup::Held:
            process(kHolderPid, "minicom", true);
            break;
        case Setup::ModemManager:
        case Setup::ModemManagerIgnored:
            process(kHolderPid + 1, "ModemManager", false);
            write("run/udev/data/c" + nodeName(),
                  QByteArray("E:ID_USB_DRIVER=cdc_acm\n") +
                      (setup == Setup::ModemManagerIgnored ? "E:ID_MM_DEVICE_IGNORE=1\n" : ""));
            break;
        case Setup::PtyMaker:
            // The simulated module's way: the pty's master, and its tty end kept open.
            process(kHolderPid, "talvex-sim", true);
            QVERIFY(QFile::link("/dev/ptmx", root_.filePath(QStringLiteral("proc/%1/fd/4").arg(kHolderPid))));
            write(QStringLiteral("proc/%1/fdinfo/4").arg(kHolderPid),
                  "pos:\t0\nflags:\t02\ntty-index:\t" + device_.section('/', -1).toUtf8() + "\n");
            break;
        case Setup::Latency16:
        case Setup::Latency1:
            write("sys/dev/char/" + nodeName() + "/device/latency_timer", setup == Setup::Latency16 ? "16\n" : "1\n");
            break;
        case Setup::Brltty:
            write("usr/lib/udev/rules.d/85-brltty.rules",
                  "ENV{PRODUCT}==\"1a86/7523/*\", ENV{BRLTTY_BRAILLE_DRIVER}=\"bm\"\n");
            write("sys/bus/usb/devices/1-1.2/idVendor", "1a86\n");
            write("sys/bus/usb/devices/1-1.2/idProduct", "7523\n");
            write("run/udev/data/c" + nodeName(), "E:ID_VENDOR_ID=1a86\n");
            break;
        default:
            break;
        }
    }

    Run run(const QStringList &args)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TALVEX_SYSTEM_ROOT", root_.path());
        env.insert("TALVEX_PORT_DIR", pty_->portDir());
        env.insert("TALVEX_SERIAL_BY_ID", root_.filePath("no-by-id"));
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(TALVEX_CLI_EXE, args);
        Run r;
        if (!p.waitForFinished(30000))
            return r;
        r.status = p.exitCode();
        r.out = QString::fromUtf8(p.readAllStandardOutput());
        r.err = QString::fromUtf8(p.readAllStandardError());
        return r;
    }

private slots:
    void init()
    {
        QVERIFY(root_.isValid());
        QDir(root_.path()).removeRecursively();
        QDir().mkpath(root_.path());
        pty_ = std::make_unique<PtyPair>(3);
        QVERIFY(pty_->ok());
        device_ = QFileInfo(QString::fromStdString(pty_->slavePath())).canonicalFilePath();
        QCOMPARE(::stat(device_.toLocal8Bit().constData(), &node_), 0);
        // The user may not open the pty by its owner or by everyone's rights: only the group counts.
        QVERIFY((node_.st_mode & (S_IROTH | S_IWOTH)) != (S_IROTH | S_IWOTH));
    }
    void cleanup() { pty_.reset(); }

    void findings_data()
    {
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<QString>("check");  // empty: nothing wrong
        QTest::addColumn<QString>("found");
        QTest::addColumn<QString>("fix");
        const QString none;
        QTest::newRow("all well") << Setup::Clean << none << none << none;
        QTest::newRow("not in the group") << Setup::NotInGroup << "group"
                                          << "user tester is not in group dialout"
                                          << "sudo usermod -aG dialout tester";
        QTest::newRow("session older than the membership") << Setup::SessionPredatesGroup << "session"
                                                           << "added to group dialout after this session began"
                                                           << "newgrp dialout";
        QTest::newRow("held by another program") << Setup::Held << "held"
                                                 << "is held by minicom (PID 4242)"
                                                 << "kill 4242";
        QTest::newRow("ModemManager probes it") << Setup::ModemManager << "modem-manager"
                                                << "ModemManager probes"
                                                << "ModemManager";
        QTest::newRow("ModemManager told to leave it") << Setup::ModemManagerIgnored << none << none << none;
        QTest::newRow("FTDI latency 16 ms") << Setup::Latency16 << "latency"
                                            << "latency timer of"
                                            << "latency_timer";
        QTest::newRow("FTDI latency 1 ms") << Setup::Latency1 << none << none << none;
        QTest::newRow("the pty's maker is its other end") << Setup::PtyMaker << none << none << none;
        QTest::newRow("brltty") << Setup::Brltty << "brltty"
                                << "plugged now: 1a86:7523"
                                << "sudo apt remove brltty";
    }
    void findings()
    {
        QFETCH(Setup, setup);
        QFETCH(QString, check);
        QFETCH(QString, found);
        QFETCH(QString, fix);
        build(setup);
        if (QTest::currentTestFailed())
            return;

        const Run text = run({"-p", "COM3", "doctor"});
        QCOMPARE(text.status, check.isEmpty() ? 0 : 1);
        QVERIFY2(text.out.contains(found) && text.out.contains(fix), qPrintable(text.out + text.err));
        if (check.isEmpty())
            QVERIFY2(text.out.startsWith("ok: nothing in the way (" + device_ + ")"), qPrintable(text.out));
        else
            QVERIFY2(text.out.startsWith("problem: "), qPrintable(text.out));

        const Run json = run({"-p", "COM3", "doctor", "--json"});
        QCOMPARE(json.status, text.status);
        const QStringList lines = json.out.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), check.isEmpty() ? 1 : 2);
        if (!check.isEmpty()) {
            const QJsonObject finding = QJsonDocument::fromJson(lines[0].toUtf8()).object();
            QCOMPARE(finding["check"].toString(), check);
            QVERIFY(finding["fix"].toString().contains(fix));
        }
        const QJsonObject summary = QJsonDocument::fromJson(lines.last().toUtf8()).object();
        QCOMPARE(summary["ok"].toBool(), check.isEmpty());
        QCOMPARE(summary["devices"].toArray(), QJsonArray{device_});
    }

    // Without -p every present port is looked at; the pty behind COM3 is one.
    void everyPort()
    {
        build(Setup::Held);
        const Run r = run({"doctor"});
        QCOMPARE(r.status, 1);
        QVERIFY2(r.out.contains(device_ + " is held by minicom"), qPrintable(r.out));
    }

    void absentPort()
    {
        build(Setup::Clean);
        const Run r = run({"-p", "COM4", "doctor"});
        QCOMPARE(r.status, 1);
        QVERIFY2(r.out.contains("COM4 (" + pty_->portDir() + "/COM4) is not there"), qPrintable(r.out));
        // A name that is no port at all is a usage error, as for every command that takes a port.
        QCOMPARE(run({"-p", "COM9", "doctor"}).status, 2);
    }

    // `ports` marks the port each finding concerns, in its text and in its JSON.
    void portsMarks()
    {
        build(Setup::Held);
        write("sys/dev/char/" + nodeName() + "/device/latency_timer", "16\n");
        const Run text = run({"ports"});
        QCOMPARE(text.status, 0);
        QVERIFY2(text.out.contains("COM3 " + pty_->portDir() +
                                   "/COM3 pseudo-terminal  [held by minicom (PID 4242); "
                                   "latency timer 16 ms]\n"),
                 qPrintable(text.out));

        const Run json = run({"ports", "--json"});
        QCOMPARE(json.status, 0);
        const QStringList lines = json.out.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 8);
        for (const QString &line : lines) {
            const QJsonObject port = QJsonDocument::fromJson(line.toUtf8()).object();
            const QJsonArray expected = port["port"] == "COM3"
                                            ? QJsonArray{"held by minicom (PID 4242)", "latency timer 16 ms"}
                                            : QJsonArray{};
            QCOMPARE(port["problems"].toArray(), expected);
        }
    }
};

QTEST_GUILESS_MAIN(TestCliDoctor)
#include "tst_cli_doctor.moc"
