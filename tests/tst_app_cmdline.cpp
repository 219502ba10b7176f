// `talvex --help` and `talvex --version` answer and exit without a window, and
// without a display; --version names the image the update would write.
#include "firmware/FirmwareImage.h"

#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QtTest>

class TestAppCommandLine : public QObject {
    Q_OBJECT

    struct Run {
        int status = -1;
        QString out;
        QString err;
    };

    // The program as a shell on a headless machine starts it.
    static Run RunTool(const QStringList &args, bool display)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        env.remove("QT_QPA_PLATFORM");
        if (display)
            env.insert("QT_QPA_PLATFORM", "offscreen");
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(TALVEX_EXE), args);
        Run r;
        if (!p.waitForFinished(30000)) {
            p.kill();
            p.waitForFinished();
            return r;
        }
        r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
        r.err = QString::fromLocal8Bit(p.readAllStandardError());
        return r;
    }

private slots:
    void version_data()
    {
        QTest::addColumn<QString>("option");
        QTest::newRow("long") << "--version";
        QTest::newRow("short") << "-v";
    }
    void version()
    {
        QFETCH(QString, option);
        const Run r = RunTool({option}, false);
        QCOMPARE(r.status, 0);
        QCOMPARE(r.err, QString());
        const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2);
        // The version the window's caption shows.
        QCOMPARE(lines[0], QString("talvex 1.50"));

        QFile image(QStringLiteral(TALVEX_FIRMWARE_IMAGE_ABS));
        QVERIFY(image.open(QIODevice::ReadOnly));
        const QByteArray bytes = image.readAll();
        const QString kind = CarriedFirmwareIsStandIn() ? "stand-in (not the module's firmware)" : "module firmware";
        QCOMPARE(lines[1], QString("firmware image: %1 bytes, %2, sha256 %3")
                               .arg(bytes.size())
                               .arg(kind, QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex()));
    }

    // The build tells the stand-in by content, wherever the file lies.
    void standInKnownToTheBuild()
    {
        QFile image(QStringLiteral(TALVEX_FIRMWARE_IMAGE_ABS));
        QFile standIn(QStringLiteral(TALVEX_STANDIN_IMAGE));
        QVERIFY(image.open(QIODevice::ReadOnly) && standIn.open(QIODevice::ReadOnly));
        QCOMPARE(CarriedFirmwareIsStandIn(), image.readAll() == standIn.readAll());
    }

    void help_data()
    {
        QTest::addColumn<QString>("option");
        QTest::newRow("long") << "--help";
        QTest::newRow("short") << "-h";
    }
    void help()
    {
        QFETCH(QString, option);
        const Run r = RunTool({option}, false);
        QCOMPARE(r.status, 0);
        QCOMPARE(r.err, QString());
        QVERIFY2(r.out.startsWith("Usage: "), qPrintable(r.out));
        for (const char *expected : {"-h, --help", "-v, --version", "--lang <zh|en>", "TALVEX_PORT_DIR", "TALVEX_M"})
            QVERIFY2(r.out.contains(expected), expected);
    }

    // A mistake is told as Qt's parser tells it, once the window system is there.
    void unknownOption()
    {
        const Run r = RunTool({"--no-such-option"}, true);
        QCOMPARE(r.status, 1);
        QVERIFY2(r.err.contains("Unknown option 'no-such-option'"), qPrintable(r.err));
        QCOMPARE(r.out, QString());
    }

    // The windows speak Chinese or English, nothing else.
    void unknownLanguage()
    {
        const Run r = RunTool({"--lang", "fr"}, true);
        QCOMPARE(r.status, 1);
        QVERIFY2(r.err.endsWith("talvex: --lang: \"fr\" is neither zh nor en\n"), qPrintable(r.err));
        QCOMPARE(r.out, QString());
    }
};

QTEST_GUILESS_MAIN(TestAppCommandLine)
#include "tst_app_cmdline.moc"
