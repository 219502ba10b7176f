// talvex-cli on ports that are not what they should be: no serial device at all,
// a device the user may not open, and an adapter pulled out while it runs. Each
// ends at once with exit 3 and names the cause.
#include "tests/support/CliProcess.h"
#include "tests/support/ModbusBytes.h"
#include "tests/support/PtyPair.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <grp.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kExitPort = 3;

}  // namespace

class TestCliPort : public QObject {
    Q_OBJECT

private slots:
    void notSerialDevicesAreRefused_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("reason");
        for (const char *command : {"read", "flash"}) {
            QTest::addRow("/dev/null, %s", command) << "/dev/null" << command << "not a serial device";
            QTest::addRow("regular file, %s", command) << "FILE" << command << "not a serial device";
            QTest::addRow("folder, %s", command) << "/tmp" << command << "not a serial device";
            QTest::addRow("missing, %s", command) << "/dev/ttyUSB-none" << command << "not present";
        }
    }
    void notSerialDevicesAreRefused()
    {
        QFETCH(QString, path);
        QFETCH(QString, command);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString file = dir.filePath("image.bin");
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("not a port");
        f.close();
        const Result r = RunCli({"-p", path == "FILE" ? file : path, command}, QString());
        QVERIFY2(r.status == kExitPort, qPrintable(Describe(r)));
        QVERIFY2(r.err.contains(reason), qPrintable(Describe(r)));
        // Refused before it was opened: not even a settings call reached a file.
        if (path == "FILE") {
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(f.readAll(), QByteArray("not a port"));
        }
    }

    // A console or the controlling terminal is no adapter: refused before anything
    // is set on it (a console left in raw mode takes no more typing).
    void consolesAreRefused_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("command");
        for (const char *path : {"/dev/tty", "/dev/tty0", "/dev/console"})
            for (const char *command : {"read", "flash"})
                QTest::addRow("%s, %s", path, command) << path << command;
    }
    void consolesAreRefused()
    {
        QFETCH(QString, path);
        QFETCH(QString, command);
        if (!QFile::exists(path))
            QSKIP("no such console on this machine");
        // What the console is set to before, where the test may look.
        const int fd = ::open(path.toLocal8Bit().constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
        termios before{};
        const bool seen = fd >= 0 && tcgetattr(fd, &before) == 0;
        QStringList args{"-p", path, command};
        if (command == "flash")
            args << "--yes-standin";
        const Result r = RunCli(args, QString());
        QVERIFY2(r.status == kExitPort, qPrintable(Describe(r)));
        QVERIFY2(r.err.contains("not a serial adapter"), qPrintable(Describe(r)));
        if (seen) {
            termios after{};
            QCOMPARE(tcgetattr(fd, &after), 0);
            QCOMPARE(after.c_lflag, before.c_lflag);
            QCOMPARE(after.c_cflag, before.c_cflag);
        }
        if (fd >= 0)
            ::close(fd);
    }

    // A device another process of the tool holds is refused by the lock named
    // after its device number, before the device is opened (root passes the
    // kernel's exclusive flag, and the open would pulse the module's reset).
    void aPortHeldElsewhereIsRefusedBeforeItOpens()
    {
        PtyPair pty(1);
        QVERIFY(pty.ok());
        struct stat st {};
        QCOMPARE(::stat(pty.slavePath().c_str(), &st), 0);
        QString folder = "/run/lock";
        if (::access("/run/lock", W_OK) != 0)
            folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
        if (folder.isEmpty())
            QSKIP("no folder for the lock on this machine");
        const QString lockPath =
            QString("%1/talvex-dev-%2-%3.lock").arg(folder).arg(major(st.st_rdev)).arg(minor(st.st_rdev));
        const int lock = ::open(lockPath.toLocal8Bit().constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        QVERIFY(lock >= 0);
        QCOMPARE(flock(lock, LOCK_EX | LOCK_NB), 0);
        const Result held = RunCli({"-p", QString::fromStdString(pty.slavePath()), "read"}, QString());
        QVERIFY2(held.status == kExitPort, qPrintable(Describe(held)));
        QVERIFY2(held.err.contains("busy"), qPrintable(Describe(held)));
        // Nothing reached the line: the device was never opened.
        QVERIFY(pty.readMaster(0, 100).empty());
        ::close(lock);
        // Let go, the same port opens (and the module, silent here, simply does not answer).
        const Result free = RunCli({"-p", QString::fromStdString(pty.slavePath()), "-q", "read"}, QString());
        QVERIFY2(free.status == 1, qPrintable(Describe(free)));
        QVERIFY(!pty.readMaster(0, 100).empty());
    }

    // `ports` lists only what can be a serial line as present.
    void portsTellsFilesFromDevices()
    {
        QTemporaryDir dir;
        QFile f(dir.filePath("file"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        PtyPair pty(3);
        QVERIFY(QFile::link("/dev/null", dir.filePath("COM1")));
        QVERIFY(QFile::link(dir.filePath("file"), dir.filePath("COM2")));
        QVERIFY(QFile::link(QString::fromStdString(pty.slavePath()), dir.filePath("COM3")));
        const Result r = RunCli({"ports"}, dir.path());
        QVERIFY2(r.status == 0, qPrintable(Describe(r)));
        const QStringList lines = r.out.split('\n');
        QVERIFY2(lines.size() > 3, qPrintable(Describe(r)));
        QVERIFY2(lines[0].endsWith("not a serial device"), qPrintable(lines[0]));
        QVERIFY2(lines[1].endsWith("not a serial device"), qPrintable(lines[1]));
        QVERIFY2(lines[2].endsWith("pseudo-terminal"), qPrintable(lines[2]));
        QVERIFY2(lines[3].endsWith("missing"), qPrintable(lines[3]));
    }

    // A pty of mode 600 owned by root, opened by an ordinary user.
    // The group to join is the device's own (dialout on Debian, uucp elsewhere).
    void permissionDeniedSaysWhatToDo_data()
    {
        QTest::addColumn<QString>("group");
        QTest::newRow("dialout") << "dialout";
        QTest::newRow("uucp") << "uucp";
    }
    void permissionDeniedSaysWhatToDo()
    {
        QFETCH(QString, group);
        const struct group *g = getgrnam(group.toLocal8Bit().constData());
        if (!g)
            QSKIP("no such group on this machine");
        if (geteuid() != 0)
            QSKIP("needs root to run the command line as another user");
        if (QStandardPaths::findExecutable("setpriv").isEmpty())
            QSKIP("setpriv (util-linux) is not installed");
        PtyPair pty(1);
        QVERIFY(pty.ok());
        QCOMPARE(chmod(pty.slavePath().c_str(), 0600), 0);
        QCOMPARE(chown(pty.slavePath().c_str(), 0, g->gr_gid), 0);
        // The unprivileged user must reach the program: a copy in a folder anyone may enter.
        QTemporaryDir dir;
        QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                      QFile::ReadOther | QFile::ExeOther | QFile::ReadGroup |
                                                      QFile::ExeGroup));
        const QString program = dir.filePath("talvex-cli");
        QVERIFY(QFile::copy(TALVEX_CLI_EXE, program));
        const Result r = CliRun({"--reuid=nobody", "--regid=nogroup", "--clear-groups", program, "-p",
                                 QString::fromStdString(pty.slavePath()), "read"},
                                QString(), "setpriv")
                             .finish();
        QVERIFY2(r.status == kExitPort, qPrintable(Describe(r)));
        QVERIFY2(r.err.contains("permission denied") && r.err.contains(QString("join the %1 group").arg(group)),
                 qPrintable(Describe(r)));
    }

    // The adapter pulled out while `watch` polls: the line hangs up, and the
    // command line ends within a second, naming it.
    void pulledAdapterEndsWatch()
    {
        auto pty = std::make_unique<PtyPair>(1);
        QVERIFY(pty->ok());
        QProcess p;
        StartCli(p, {"-p", QString::fromStdString(pty->slavePath()), "watch"}, QString());
        QVERIFY(p.waitForStarted());
        // The module's part: a zero for every register asked for.
        int exchanges = 0;
        QElapsedTimer clock;
        clock.start();
        while (exchanges < 3 && clock.elapsed() < 5000) {
            const std::vector<uint8_t> request = pty->readMaster(100, 5);
            const Bytes reply = ZeroReadReply(request.data(), request.size());
            if (reply.empty())
                continue;
            pty->writeMaster(reply);
            ++exchanges;
        }
        QCOMPARE(exchanges, 3);
        QElapsedTimer sinceHangUp;
        sinceHangUp.start();
        pty.reset();  // the master side closes: the line hangs up
        QVERIFY(p.waitForFinished(5000));
        const qint64 ms = sinceHangUp.elapsed();
        const QString err = QString::fromUtf8(p.readAllStandardError());
        QVERIFY2(p.exitCode() == kExitPort && err.contains("adapter removed"),
                 qPrintable(err + QString::fromUtf8(p.readAllStandardOutput()) + QString(" after %1 ms").arg(ms)));
        QVERIFY2(ms < 1000, qPrintable(QString("%1 ms after the hang-up").arg(ms)));
    }
};

QTEST_GUILESS_MAIN(TestCliPort)
#include "tst_cli_port.moc"
