// The stand-in image never reaches a real module unasked: how a port path is
// told apart (pseudo-terminal or real device), the question box itself, and the
// firmware window's start button over the platform double.
#include "firmware/FirmwareImage.h"
#include "firmware/Isp.h"
#include "tests/support/FirmwareWindowFixture.h"
#include "tests/support/MessageRecorder.h"
#include "tests/support/PtyPair.h"
#include "ui/StandInGuard.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QtTest>

#include <pty.h>
#include <unistd.h>

Q_DECLARE_METATYPE(DeviceKind)

namespace {

// Where the tests pretend the COM links live; the double never touches it.
const char kPortDir[] = "/talvex-test-ports";

std::string PortPath(int comNumber)
{
    return std::string(kPortDir) + "/COM" + std::to_string(comNumber);
}

// Answers questions in place of the user and remembers them.
struct QuestionRecorder {
    struct Asked {
        QWidget *owner;
        QString text;
        QString caption;
    };
    QList<Asked> asked;
    bool answer = false;

    QuestionRecorder()
    {
        SetQuestionHook([this](QWidget *owner, const QString &text, const QString &caption) {
            asked.append({owner, text, caption});
            return answer;
        });
    }
    ~QuestionRecorder() { SetQuestionHook({}); }
};

}  // namespace

class TestStandInGuard : public QObject, FirmwareWindowFixture {
    Q_OBJECT

private slots:
    void init()
    {
        // Every test starts here, also after one that pointed it at a pty of its own.
        qputenv("TALVEX_PORT_DIR", kPortDir);
        createFirmwareWindowOnDouble();
    }
    void cleanup() { destroyFirmwareWindow(); }

    // Real paths through the termios platform layer.
    void classifiesDevicePaths_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<DeviceKind>("expected");
        QTest::newRow("pty slave") << "slave" << DeviceKind::PseudoTerminal;
        QTest::newRow("link to a pty slave") << "link" << DeviceKind::PseudoTerminal;
        QTest::newRow("pty multiplexer") << "/dev/ptmx" << DeviceKind::PseudoTerminal;
        // A tty that is no pty counts as real hardware: better one question too
        // many than an idle loop in a module. What is no tty at all is no port.
        // A terminal someone types at is never a line to a module.
        QTest::newRow("the controlling terminal") << "/dev/tty" << DeviceKind::Console;
        QTest::newRow("a virtual console") << "/dev/tty0" << DeviceKind::Console;
        QTest::newRow("the system console") << "/dev/console" << DeviceKind::Console;
        QTest::newRow("other character device") << "/dev/null" << DeviceKind::NotSerial;
        QTest::newRow("regular file") << "file" << DeviceKind::NotSerial;
        QTest::newRow("directory") << "dir" << DeviceKind::NotSerial;
        QTest::newRow("missing") << "missing" << DeviceKind::Absent;
        QTest::newRow("dangling link") << "dangling" << DeviceKind::Absent;
        QTest::newRow("empty path") << "" << DeviceKind::Absent;
    }
    void classifiesDevicePaths()
    {
        QFETCH(QString, what);
        QFETCH(DeviceKind, expected);
        int master = -1;
        int slave = -1;
        char slaveName[256] = {};
        QVERIFY(openpty(&master, &slave, slaveName, nullptr, nullptr) == 0);
        QTemporaryDir dir;
        const QString file = dir.filePath("file");
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        QVERIFY(QFile::link(QString::fromLocal8Bit(slaveName), dir.filePath("link")));
        QVERIFY(QFile::link(dir.filePath("gone"), dir.filePath("dangling")));

        // Consoles a container may not have.
        if (what.startsWith('/') && expected == DeviceKind::Console && !QFileInfo::exists(what))
            QSKIP("no such console on this machine");
        std::string path;
        if (what == "slave")
            path = slaveName;
        else if (what.startsWith('/') || what.isEmpty())
            path = what.toStdString();
        else if (what == "dir")
            path = dir.path().toStdString();
        else
            path = dir.filePath(what).toStdString();
        const DeviceKind kind = ClassifyDevice(path);
        ::close(slave);
        ::close(master);
        QCOMPARE(kind, expected);
    }

    // The component resolves the COM name as Open does: a COM link in the port
    // directory to a pty, as the simulated module makes it, is a pty.
    void componentResolvesTheComName()
    {
        PtyPair pty(4);
        QVERIFY(pty.ok());
        TQRTCommDriver driver;
        QCOMPARE(driver.PortDeviceKind(pnCOM4), DeviceKind::PseudoTerminal);
        QCOMPARE(driver.PortDeviceKind(pnCOM5), DeviceKind::Absent);
    }

    // The box a user really sees: Yes and No, No the default.
    void questionBox_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("expected");
        QTest::newRow("Yes pressed") << "yes" << true;
        QTest::newRow("No pressed") << "no" << false;
        QTest::newRow("Enter takes the default") << "enter" << false;
        QTest::newRow("Escape") << "escape" << false;
    }
    void questionBox()
    {
        QFETCH(QString, how);
        QFETCH(bool, expected);
        QWidget owner;
        owner.show();
        bool seen = false;
        QTimer::singleShot(0, this, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            QVERIFY(box);
            seen = true;
            QCOMPARE(box->parentWidget(), &owner);
            QCOMPARE(box->windowTitle(), QString("TALVEX_M"));
            QCOMPARE(box->text(), QString("first\nsecond"));
            QCOMPARE(box->standardButtons(), QMessageBox::Yes | QMessageBox::No);
            QCOMPARE(box->defaultButton(), box->button(QMessageBox::No));
            if (how == "yes")
                box->button(QMessageBox::Yes)->click();
            else if (how == "no")
                box->button(QMessageBox::No)->click();
            else
                QTest::keyClick(box, how == "enter" ? Qt::Key_Return : Qt::Key_Escape);
        });
        // A stuck box must not hang the suite.
        QTimer::singleShot(5000, this, [] {
            if (QWidget *w = QApplication::activeModalWidget())
                w->close();
        });
        const bool answer = AskQuestion(&owner, "first\rsecond", "TALVEX_M");
        QVERIFY(seen);
        QCOMPARE(answer, expected);
    }

    // Who is asked, and what the answer lets through.
    void confirm_data()
    {
        QTest::addColumn<bool>("standIn");
        QTest::addColumn<DeviceKind>("kind");
        QTest::addColumn<bool>("answer");
        QTest::addColumn<bool>("asked");
        QTest::addColumn<bool>("goAhead");
        QTest::newRow("stand-in, real port, Yes") << true << DeviceKind::SerialDevice << true << true << true;
        QTest::newRow("stand-in, real port, No") << true << DeviceKind::SerialDevice << false << true << false;
        QTest::newRow("stand-in, pty") << true << DeviceKind::PseudoTerminal << false << false << true;
        QTest::newRow("stand-in, no device") << true << DeviceKind::Absent << false << false << true;
        QTest::newRow("module image, real port") << false << DeviceKind::SerialDevice << false << false << true;
        QTest::newRow("module image, pty") << false << DeviceKind::PseudoTerminal << false << false << true;
    }
    void confirm()
    {
        QFETCH(bool, standIn);
        QFETCH(DeviceKind, kind);
        QFETCH(bool, answer);
        QFETCH(bool, asked);
        QFETCH(bool, goAhead);
        st.devices[PortPath(6)] = kind;
        QuestionRecorder questions;
        questions.answer = answer;
        QCOMPARE(ConfirmCarriedImage(frm.get(), frm->ComDriver, 5, standIn), goAhead);
        QCOMPARE(questions.asked.size(), asked ? 1 : 0);
        if (asked) {
            QCOMPARE(questions.asked[0].owner, frm.get());
            QCOMPARE(questions.asked[0].caption, QString("TALVEX_M"));
            QVERIFY2(questions.asked[0].text.contains("COM6 "), qPrintable(questions.asked[0].text));
        }
    }

    // The start button: with the stand-in on a real port, No sends nothing and
    // opens nothing; Yes starts the update as before.
    void startButton_data()
    {
        QTest::addColumn<int>("chosen");
        QTest::addColumn<bool>("answer");
        QTest::addColumn<bool>("asked");
        QTest::addColumn<bool>("runs");
        QTest::newRow("real port, No") << 2 << false << true << false;
        QTest::newRow("real port, Yes") << 2 << true << true << true;
        QTest::newRow("pty") << 0 << false << false << true;
    }
    void startButton()
    {
        QFETCH(int, chosen);
        QFETCH(bool, answer);
        QFETCH(bool, asked);
        QFETCH(bool, runs);
        // COM3 is a real adapter; every other port is a pty.
        st.devices[PortPath(3)] = DeviceKind::SerialDevice;
        QuestionRecorder questions;
        questions.answer = answer;
        MessageRecorder messages;
        // A build that carries the module's firmware never asks, and always runs.
        const bool standIn = CarriedFirmwareIsStandIn();
        skipLineWaits();
        frm->Serial_Port->SetItemIndex(chosen);
        frm->BitBtn1Click();
        QCOMPARE(questions.asked.size(), asked && standIn ? 1 : 0);
        if (!questions.asked.isEmpty()) {
            QCOMPARE(questions.asked[0].owner, frm.get());
            QCOMPARE(questions.asked[0].caption, QString("TALVEX_M"));
            QVERIFY2(questions.asked[0].text.contains("COM3 "), qPrintable(questions.asked[0].text));
        }
        QVERIFY(messages.shown.isEmpty());
        if (runs || !standIn) {
            QCOMPARE(st.calls.front(), "open:" + PortPath(chosen + 1));
            QCOMPARE(st.written, std::vector<uint8_t>{0x7F});
            QCOMPARE(frm->Engine.Core().IspState(), 1);
            QVERIFY(frm->OvertimeT.isActive());
        } else {
            QVERIFY(st.calls.empty());
            QVERIFY(st.written.empty());
            QCOMPARE(frm->Engine.Core().IspState(), 0);
            QCOMPARE(frm->Panel1->text(), QString("就绪..."));
            QVERIFY(!frm->OvertimeT.isActive() && !frm->Timer5.isActive());
        }
    }

    // Every run that opens a real device asks, not only the one the button
    // starts: the time-out's next run opens whatever the list shows by then.
    void retryOntoARealPortAsks_data()
    {
        QTest::addColumn<bool>("answer");
        QTest::newRow("No stops the update") << false;
        QTest::newRow("Yes lets the run start") << true;
    }
    void retryOntoARealPortAsks()
    {
        if (!CarriedFirmwareIsStandIn())
            QSKIP("this build carries the module's firmware: nothing is ever asked");
        QFETCH(bool, answer);
        st.devices[PortPath(3)] = DeviceKind::SerialDevice;
        QuestionRecorder questions;
        questions.answer = answer;
        skipLineWaits();
        frm->Serial_Port->SetItemIndex(0);  // a pty, which answers nothing
        frm->BitBtn1Click();
        QVERIFY(questions.asked.isEmpty());
        QCOMPARE(frm->Panel1->text(), QString("正在查找设备。。。"));
        frm->OvertimeT.stop();  // the time-out's ticks by hand from here
        frm->Timer5.stop();

        // While the run looks for the device, the list is switched to the real adapter.
        frm->Serial_Port->SetItemIndex(2);
        st.written.clear();
        const size_t callsBefore = st.calls.size();
        for (int tick = Isp::kOvertimeStart; tick <= Isp::kOvertimeLimit; ++tick)
            frm->OvertimeTTimer();
        QCOMPARE(questions.asked.size(), 1);
        QCOMPARE(questions.asked[0].owner, frm.get());
        QVERIFY2(questions.asked[0].text.contains("COM3 "), qPrintable(questions.asked[0].text));
        const std::vector<std::string> calls(st.calls.begin() + long(callsBefore), st.calls.end());
        const bool opened = std::find(calls.begin(), calls.end(), "open:" + PortPath(3)) != calls.end();
        QCOMPARE(opened, answer);
        QCOMPARE(frm->Engine.Core().RetryCount(), uint8_t(1));
        if (answer) {
            QCOMPARE(st.written, std::vector<uint8_t>{0x7F});
            QCOMPARE(frm->Panel1->text(), QString("正在查找设备。。。"));
            QVERIFY(frm->OvertimeT.isActive() && frm->Timer5.isActive());
        } else {
            QVERIFY(st.written.empty());
            QCOMPARE(frm->Panel1->text(), QString("连机失败！请检查通信线。"));
            QVERIFY(!frm->OvertimeT.isActive() && !frm->Timer5.isActive());
            QVERIFY(!frm->ComDriver.IsOpen());
        }
    }

    // Pressed again during a run, the update keeps writing to the port already
    // open, whatever the list shows: that port is the one judged.
    void openPortIsTheOneJudged()
    {
        if (!CarriedFirmwareIsStandIn())
            QSKIP("this build carries the module's firmware: nothing is ever asked");
        st.devices[PortPath(3)] = DeviceKind::SerialDevice;
        QuestionRecorder questions;
        questions.answer = true;
        skipLineWaits();
        frm->Serial_Port->SetItemIndex(2);
        frm->BitBtn1Click();
        QCOMPARE(questions.asked.size(), 1);
        QVERIFY(frm->ComDriver.IsOpen());

        // The list now shows a pty, but COM3 stays open and would be written again.
        frm->Serial_Port->SetItemIndex(0);
        questions.answer = false;
        const size_t callsBefore = st.calls.size();
        frm->BitBtn1Click();
        QCOMPARE(questions.asked.size(), 2);
        QVERIFY(questions.asked[1].text.contains("COM3 "));
        QCOMPARE(st.calls.size(), callsBefore);

        // And the other way round: a run on a pty is not questioned by a real port in the list.
        frm->OvertimeT.stop();
        frm->Timer5.stop();
        frm->ComDriver.Close();
        frm->Serial_Port->SetItemIndex(0);
        frm->BitBtn1Click();
        QCOMPARE(questions.asked.size(), 2);
        frm->Serial_Port->SetItemIndex(2);
        frm->BitBtn1Click();
        QCOMPARE(questions.asked.size(), 2);
        QCOMPARE(frm->ComDriver.PortName(), std::string("COM1"));
    }
};

QTEST_MAIN(TestStandInGuard)
#include "tst_standin_guard.moc"
