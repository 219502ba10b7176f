#include "serial/PortNames.h"

#include <QtTest>

class TestPortNames : public QObject {
    Q_OBJECT
private slots:
    void resolve_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("dir");  // "<unset>" for no TALVEX_PORT_DIR
        QTest::addColumn<QString>("path");

        const QString unset = "<unset>";
        QTest::newRow("COM1 fixed") << "COM1" << unset << "/dev/ttyS0";
        QTest::newRow("COM2 fixed") << "COM2" << unset << "/dev/ttyS1";
        QTest::newRow("COM3 fixed") << "COM3" << unset << "/dev/ttyUSB0";
        QTest::newRow("COM6 fixed") << "COM6" << unset << "/dev/ttyUSB3";
        QTest::newRow("COM7 fixed") << "COM7" << unset << "/dev/ttyACM0";
        QTest::newRow("COM8 fixed") << "COM8" << unset << "/dev/ttyACM1";
        QTest::newRow("empty dir is unset") << "COM3"
                                            << ""
                                            << "/dev/ttyUSB0";
        QTest::newRow("dir wins, COM1") << "COM1"
                                        << "/tmp/ports"
                                        << "/tmp/ports/COM1";
        QTest::newRow("dir wins, COM8") << "COM8"
                                        << "/tmp/ports/"
                                        << "/tmp/ports/COM8";
        QTest::newRow("COM9 refused") << "COM9" << unset << "";
        QTest::newRow("COM0 refused") << "COM0"
                                      << "/tmp/ports"
                                      << "";
        QTest::newRow("COM10 refused") << "COM10" << unset << "";
        QTest::newRow("lower case refused") << "com1" << unset << "";
        QTest::newRow("empty refused") << "" << unset << "";
    }

    void resolve()
    {
        QFETCH(QString, name);
        QFETCH(QString, dir);
        QFETCH(QString, path);
        const QByteArray dirBytes = dir.toLocal8Bit();
        const char *dirArg = dir == "<unset>" ? nullptr : dirBytes.constData();
        QCOMPARE(QString::fromStdString(ResolveComPort(name.toStdString(), dirArg)), path);
    }

    void environmentIsRead()
    {
        qputenv(kPortDirEnv, "/run/talvex");
        QCOMPARE(QString::fromStdString(ResolveComPort("COM4")), QString("/run/talvex/COM4"));
        qunsetenv(kPortDirEnv);
        QCOMPARE(QString::fromStdString(ResolveComPort("COM4")), QString("/dev/ttyUSB1"));
    }
};

QTEST_GUILESS_MAIN(TestPortNames)
#include "tst_portnames.moc"
