// DTR and RTS as a real adapter carries them, through every way the tool opens a
// port: the main window's connect, the update (whole, and ended by its time-out),
// and talvex-cli's read and flash. The platform double behaves as Linux does
// (open raises both lines, close drops them only with HUPCL) and stands in for
// every port the program opens. On the module's adapter DTR holds reset and RTS
// the boot pin, so the one state that must never show outside the bootloader
// entry is "DTR off, RTS on": the chip leaves reset into its bootloader and
// answers no Modbus until it is power-cycled. So every end of an update that put
// the chip there restarts it (reset held with the boot pin low, then released)
// before the port closes, on adapters with normal lines and on inverting ones.
#include "app/cli/Cli.h"
#include "app/cli/Options.h"
#include "firmware/Isp.h"
#include "firmware/UpdateEngine.h"
#include "serial/QRT_ComDrv.h"
#include "sim/bootloader/Stm32Bootloader.h"
#include "tests/support/Bytes.h"
#include "tests/support/FakeSerialPort.h"
#include "tests/support/MainWindowFixture.h"
#include "tests/support/MessageRecorder.h"
#include "tests/support/ModbusBytes.h"
#include "tests/support/PtyPair.h"
#include "ui/Firmware.h"

#include <QElapsedTimer>
#include <QTemporaryFile>
#include <QTimer>
#include <QtTest>

#include <chrono>
#include <pty.h>
#include <unistd.h>

namespace {

enum class Scenario { ModbusConnect, Update, UpdateTimesOut, CliRead, CliFlash };
// How an update that entered the bootloader comes to its end.
enum class End { Done, ThreeTimeOuts, RefusedAfterFlashSize, VerifyMismatch, Stop, EngineDestroyed, WindowClosed };

uint32_t SteadyMs()
{
    using namespace std::chrono;
    return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// The module at the far end: a chip whose reset hangs on DTR and whose boot pin
// on RTS, with its bootloader behind, or its Modbus side answering reads.
struct Module {
    FakeSerialState &st;
    Stm32Bootloader chip;
    bool inBootloader = false;
    bool chipAnswers = true;
    uint32_t sleptMs = 0;  // waits the engine was spared, added to the line log's clock

    explicit Module(FakeSerialState &state) : st(state)
    {
        // Leaving reset samples the boot pin.
        st.linesChanged = [this, wasReset = false]() mutable {
            if (wasReset && !st.dtrActive()) {
                inBootloader = st.rtsActive();
                if (inBootloader)
                    chip.reset();
            }
            wasReset = st.dtrActive();
        };
        st.peer = [this](const uint8_t *data, int size) -> std::vector<uint8_t> {
            if (st.dtrActive())
                return {};  // held in reset
            if (inBootloader)
                return chipAnswers ? chip.feed(data, size_t(size)) : std::vector<uint8_t>{};
            // The running program answers a read of any registers with zeros.
            return ZeroReadReply(data, size_t(size));
        };
    }
};

// Every change into "DTR off, RTS on" must come from "both on" held for the whole
// reset pulse (`pulseMs`): the update's bootloader entry and nothing else.
QString StrayBootEntry(const std::vector<LineLevels> &log, const std::vector<uint32_t> &times,
                       uint32_t pulseMs = Isp::kResetPulseMs)
{
    for (size_t i = 1; i < log.size(); ++i) {
        const LineLevels &now = log[i];
        const LineLevels &before = log[i - 1];
        if (!(now.dtr == false && now.rts == true) || (before.dtr == now.dtr && before.rts == now.rts))
            continue;
        size_t held = i - 1;
        while (held > 0 && log[held - 1].dtr && log[held - 1].rts)
            --held;
        const bool fromReset = before.dtr && before.rts;
        const uint32_t heldMs = times[i] - times[held];
        if (!fromReset || heldMs < pulseMs)
            return QString("entry %1 (%2) after %3 ms of reset")
                .arg(i)
                .arg(QString::fromStdString(now.cause))
                .arg(heldMs);
    }
    return {};
}

// After the last bootloader entry (reset released with the boot pin high): reset
// held with the boot pin low, then released, and only then the close.
QString RestartAfterLastEntry(const std::vector<LineLevels> &log)
{
    const auto is = [&](size_t i, bool dtr, bool rts) { return log[i].dtr == dtr && log[i].rts == rts; };
    size_t entry = log.size();
    for (size_t i = 1; i < log.size(); ++i)
        if (is(i, false, true) && is(i - 1, true, true))
            entry = i;
    if (entry == log.size())
        return QStringLiteral("no bootloader entry at all");
    size_t i = entry + 1;
    while (i < log.size() && !is(i, true, false))
        ++i;
    if (i == log.size())
        return QStringLiteral("reset never held with the boot pin low after the entry");
    while (i < log.size() && !is(i, false, false))
        ++i;
    if (i == log.size())
        return QStringLiteral("reset never released after that");
    for (size_t c = entry; c < i; ++c)
        if (log[c].cause == "closed")
            return QStringLiteral("the port closed before the restart");
    return {};
}

}  // namespace

Q_DECLARE_METATYPE(Scenario)
Q_DECLARE_METATYPE(End)

class TestAdapterLines : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { SetSerialPortMaker({}); }

    void modemLinesThroughEveryWayIn_data()
    {
        QTest::addColumn<Scenario>("scenario");
        QTest::addColumn<bool>("hupcl");
        const std::pair<const char *, Scenario> scenarios[] = {{"Modbus connect", Scenario::ModbusConnect},
                                                               {"update", Scenario::Update},
                                                               {"update ending by time-out", Scenario::UpdateTimesOut},
                                                               {"CLI read", Scenario::CliRead},
                                                               {"CLI flash", Scenario::CliFlash}};
        for (const auto &[name, scenario] : scenarios) {
            QTest::addRow("%s, HUPCL on", name) << scenario << true;
            QTest::addRow("%s, HUPCL off", name) << scenario << false;
        }
    }
    void modemLinesThroughEveryWayIn()
    {
        QFETCH(Scenario, scenario);
        QFETCH(bool, hupcl);
        FakeSerialState st;
        st.hupcl = hupcl;  // as the last user left the port (stty -hupcl)
        Module module(st);
        std::vector<uint32_t> times;
        st.linesChanged = [&, wired = st.linesChanged] {
            wired();
            times.resize(st.lineLog.size(), SteadyMs() + module.sleptMs);
        };
        const auto stamp = [&] { times.resize(st.lineLog.size(), SteadyMs() + module.sleptMs); };
        SetSerialPortMaker([&st] { return std::make_unique<FakeSerialPort>(st); });

        switch (scenario) {
        case Scenario::ModbusConnect: {
            MainWindowFixture window;
            window.createMainWindow();
            window.connectAndWait(2);
            if (QTest::currentTestFailed())
                return;
            QVERIFY(!module.inBootloader);
            window.form->SpeedButton1->click();
            QVERIFY(!window.form->SpeedButton1->isChecked());
            break;
        }
        case Scenario::Update:
        case Scenario::UpdateTimesOut: {
            module.chipAnswers = scenario == Scenario::Update;
            TQRTCommDriver driver;
            TUpdateEngine engine(driver);
            engine.SetDevicePath("/dev/ttyUSB0");
            engine.SetSleep([&](uint32_t ms) {
                module.sleptMs += ms;
                st.note("sleep:" + std::to_string(ms));
                stamp();
            });
            QList<TUpdateOutcome> outcomes;
            connect(&engine, &TUpdateEngine::finished, this, [&](TUpdateOutcome o) { outcomes << o; });
            engine.Start();
            if (scenario == Scenario::Update) {
                QTRY_VERIFY_WITH_TIMEOUT(!outcomes.isEmpty(), 20000);
                QCOMPARE(outcomes.front(), TUpdateOutcome::Done);
            } else {
                // The time-out's ticks by hand: three runs, each given up after its ticks.
                for (int tick = 0; tick < 100 && outcomes.isEmpty(); ++tick)
                    engine.OvertimeTTimer();
                QCOMPARE(outcomes, QList<TUpdateOutcome>{TUpdateOutcome::LinkFailed});
            }
            break;
        }
        case Scenario::CliRead:
            QCOMPARE(talvex::cli::RunCli({"-p", "/dev/ttyUSB0", "read", "0", "4"}), 0);
            break;
        case Scenario::CliFlash: {
            // A path that exists, so the command line goes on to open it; the double
            // answers in its place.
            int master = -1, slave = -1;
            char name[256] = {};
            QVERIFY(openpty(&master, &slave, name, nullptr, nullptr) == 0);
            const int status = talvex::cli::RunCli({"-p", QString::fromLocal8Bit(name), "flash"});
            ::close(slave);
            ::close(master);
            QCOMPARE(status, 0);
            break;
        }
        }
        stamp();

        // The command line's boot entry takes short pulses of its own.
        const uint32_t pulseMs = scenario == Scenario::CliFlash ? uint32_t(talvex::cli::Options::kDefaultEntryMs)
                                                                : Isp::kResetPulseMs;
        const QString stray = StrayBootEntry(st.lineLog, times, pulseMs);
        QVERIFY2(stray.isEmpty(), qPrintable(stray));
        // Out of reset at the end, and the boot pin low: the module runs its program.
        QVERIFY(!st.open);
        QVERIFY(!st.dtr);
        QVERIFY(!st.rts);
        // The adapter was asked for low latency and has its old flags back.
        QVERIFY(std::count(st.calls.begin(), st.calls.end(), "lowlatency") >= 1);
        QVERIFY(!st.lowLatency);
        // After an update the chip restarts into its program, the new one or, after
        // three runs that timed out, the one it had.
        if (scenario == Scenario::Update || scenario == Scenario::CliFlash)
            QVERIFY(module.chip.blocksWritten() > 0);
        QVERIFY(!module.inBootloader);
    }

    void everyEndRestartsTheModule_data()
    {
        QTest::addColumn<End>("end");
        QTest::addColumn<bool>("inverted");
        const std::pair<const char *, End> ends[] = {{"done", End::Done},
                                                     {"three time-outs", End::ThreeTimeOuts},
                                                     {"refusal after the flash-size read", End::RefusedAfterFlashSize},
                                                     {"verify mismatch", End::VerifyMismatch},
                                                     {"Stop", End::Stop},
                                                     {"engine destroyed mid-run", End::EngineDestroyed},
                                                     {"window closed mid-run", End::WindowClosed}};
        for (const auto &[name, end] : ends) {
            QTest::addRow("%s, normal lines", name) << end << false;
            // The windows keep normal lines.
            if (end != End::WindowClosed)
                QTest::addRow("%s, inverted lines", name) << end << true;
        }
    }
    void everyEndRestartsTheModule()
    {
        QFETCH(End, end);
        QFETCH(bool, inverted);
        FakeSerialState st;
        st.inverted = inverted;
        Module module(st);
        module.chipAnswers = end != End::ThreeTimeOuts;
        if (end == End::VerifyMismatch) {
            Stm32Faults faults;
            faults.flipAddress = 0x08000301;
            faults.flipMask = 0x01;
            module.chip.setFaults(faults);
        }
        std::vector<uint32_t> times;
        st.linesChanged = [&, wired = st.linesChanged] {
            wired();
            times.resize(st.lineLog.size(), SteadyMs() + module.sleptMs);
        };
        const auto sleep = [&](uint32_t ms) {
            module.sleptMs += ms;
            st.note("sleep:" + std::to_string(ms));
            times.resize(st.lineLog.size(), SteadyMs() + module.sleptMs);
        };
        SetSerialPortMaker([&st] { return std::make_unique<FakeSerialPort>(st); });
        // Stopping (or closing) at 30 % of the write, once the event loop is back.
        const auto atThirtyPercent = [](TUpdateEngine &engine, std::function<void()> stop) {
            QObject::connect(&engine, &TUpdateEngine::progressChanged, &engine,
                             [stop, once = false](int percent) mutable {
                                 if (once || percent < 30)
                                     return;
                                 once = true;
                                 QTimer::singleShot(0, stop);
                             });
        };

        if (end == End::WindowClosed) {
            // Closed mid-run, the window is only hidden and the run goes on to its end.
            TFirmwareFrm window(nullptr, std::make_unique<FakeSerialPort>(st));
            window.Engine.SetSleep(sleep);
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            atThirtyPercent(window.Engine, [&window] { window.close(); });
            window.BitBtn1Click();
            QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), 20000);
            QTRY_VERIFY_WITH_TIMEOUT(!window.ComDriver.IsOpen(), 20000);
        } else {
            TQRTCommDriver driver;
            auto engine = std::make_unique<TUpdateEngine>(driver);
            engine->SetDevicePath("/dev/ttyUSB0");
            TUpdateOptions options;
            options.bootEntry = inverted ? TBootEntry::Inverted : TBootEntry::DtrRts;
            options.verify = end == End::VerifyMismatch;
            if (end == End::RefusedAfterFlashSize)
                options.imageBytes = 200 * 1024;  // more than the chip's 128 KiB
            engine->SetOptions(options);
            engine->SetSleep(sleep);
            QList<TUpdateOutcome> outcomes;
            connect(engine.get(), &TUpdateEngine::finished, this, [&](TUpdateOutcome o) { outcomes << o; });
            bool stopped = false;
            if (end == End::Stop)
                atThirtyPercent(*engine, [&] { engine->Stop(), stopped = true; });
            if (end == End::EngineDestroyed)
                atThirtyPercent(*engine, [&] { engine.reset(), stopped = true; });
            engine->Start();
            switch (end) {
            case End::ThreeTimeOuts:
                for (int tick = 0; tick < 100 && outcomes.isEmpty(); ++tick)
                    engine->OvertimeTTimer();
                QCOMPARE(outcomes, QList<TUpdateOutcome>{TUpdateOutcome::LinkFailed});
                break;
            case End::Stop:
            case End::EngineDestroyed:
                QTRY_VERIFY_WITH_TIMEOUT(stopped, 20000);
                QVERIFY(outcomes.isEmpty());
                break;
            default:
                QTRY_VERIFY_WITH_TIMEOUT(!outcomes.isEmpty(), 20000);
                QCOMPARE(outcomes.front(), end == End::Done ? TUpdateOutcome::Done : TUpdateOutcome::Refused);
                break;
            }
        }
        times.resize(st.lineLog.size(), SteadyMs() + module.sleptMs);

        const QString stray = StrayBootEntry(st.lineLog, times);
        QVERIFY2(stray.isEmpty(), qPrintable(stray));
        const QString restart = RestartAfterLastEntry(st.lineLog);
        QVERIFY2(restart.isEmpty(), qPrintable(restart));
        QVERIFY(!st.open);
        QVERIFY(!module.inBootloader);
        // Both lines inactive after the close: the module runs.
        QVERIFY(!st.dtrActive());
        QVERIFY(!st.rtsActive());
        if (end != End::ThreeTimeOuts && end != End::RefusedAfterFlashSize)
            QVERIFY(module.chip.blocksWritten() > 0);
        // An inverting adapter's port closes without HUPCL, which would clear both
        // bits and so hold the module in reset with its boot pin high.
        QVERIFY(!st.applied.empty());
        QCOMPARE(st.applied.back().hangUpOnClose, !inverted);
        QCOMPARE(st.hupcl, !inverted);
    }

    // A Modbus session through an inverting adapter (talvex-cli --lines inverted):
    // the open, the settings and the close leave both lines inactive, so the module
    // answers instead of being held in reset.
    void modbusThroughAnInvertingAdapter()
    {
        FakeSerialState st;
        st.inverted = true;
        Module module(st);
        SetSerialPortMaker([&st] { return std::make_unique<FakeSerialPort>(st); });
        QCOMPARE(talvex::cli::RunCli({"-p", "/dev/ttyUSB0", "--lines", "inverted", "read", "0", "4"}), 0);
        for (const LineLevels &l : st.lineLog)
            QVERIFY2(!l.dtr && !l.rts, l.cause.c_str());
        QVERIFY(!st.open);
        QVERIFY(!st.hupcl);
        // Without the option the same adapter's lines go active at the first settings call.
        FakeSerialState normal;
        normal.inverted = true;
        Module held(normal);
        SetSerialPortMaker([&normal] { return std::make_unique<FakeSerialPort>(normal); });
        QCOMPARE(talvex::cli::RunCli({"-p", "/dev/ttyUSB0", "-q", "read", "0", "4"}), 1);
        QVERIFY(std::any_of(normal.lineLog.begin(), normal.lineLog.end(), [](const LineLevels &l) { return l.dtr; }));
    }

    // The adapter pulled out under a connected window: the window goes on as
    // before (no more replies), and once the adapter is back under its name,
    // disconnect and connect bring the values back.
    void windowSurvivesAPulledAdapter()
    {
        auto pty = std::make_unique<PtyPair>(2);
        // The module's part: a zero for every register asked for.
        QTimer module;
        connect(&module, &QTimer::timeout, this, [&] {
            if (!pty)
                return;
            const std::vector<uint8_t> request = pty->readMaster(0, 2);
            const Bytes reply = ZeroReadReply(request.data(), request.size());
            if (!reply.empty())
                pty->writeMaster(reply);
        });
        module.start(5);
        TMainForm form;
        form.show();
        form.ComboBox1->SetItemIndex(1);
        form.SpeedButton1->click();
        QTRY_VERIFY_WITH_TIMEOUT(form.ExchangeCount >= 2, 3000);

        pty.reset();  // pulled out
        QTRY_VERIFY_WITH_TIMEOUT(!form.ComDriver.IsOpen(), 1000);
        // The window goes to its disconnected state as "断开连接" takes it: the lamp
        // no longer reports a connection that is gone.
        QVERIFY(!form.SpeedButton1->isChecked());
        QCOMPARE(form.SpeedButton1->text(), QString("开始连接"));
        QVERIFY(form.Shape1->BrushColor() != QColor(0x00, 0xFF, 0x00));
        QVERIFY(!form.Timer1.isActive());
        QCOMPARE(form.ExchangeCount, 0);
        QVERIFY(!form.BitBtn2->isEnabled());

        pty = std::make_unique<PtyPair>(2);  // plugged in again
        form.SpeedButton1->click();
        QVERIFY(form.SpeedButton1->isChecked());
        QTRY_VERIFY_WITH_TIMEOUT(form.ExchangeCount >= 2, 3000);
        form.SpeedButton1->click();
    }

    // A driver that drops parity (or refuses the settings) is a port that cannot
    // carry the link: the window says so as for any port that will not open.
    void windowRefusesAPortThatDropsTheSettings_data()
    {
        QTest::addColumn<bool>("refused");
        QTest::newRow("settings refused") << true;
        QTest::newRow("parity not kept") << false;
    }
    void windowRefusesAPortThatDropsTheSettings()
    {
        QFETCH(bool, refused);
        FakeSerialState st;
        st.settingsRefused = refused;
        st.settingsNotKept = !refused;
        SetSerialPortMaker([&st] { return std::make_unique<FakeSerialPort>(st); });
        MessageRecorder messages;
        MainWindowFixture window;
        window.createMainWindow();
        window.form->SpeedButton1->click();
        QVERIFY(!window.form->SpeedButton1->isChecked());
        QVERIFY(!window.form->ComDriver.IsOpen());
        QCOMPARE(messages.shown.size(), 1);
        QCOMPARE(messages.shown[0].caption, QString("串口错误"));
        QCOMPARE(messages.shown[0].text,
                 QString("当前串口号已经被占用，或其它错误 ！\r请选择其它串口，或检查串口设置是否正确。"));
    }

    // An adapter without DTR/RTS (many RS-485 and 3-wire adapters) cannot start the
    // bootloader: the command line says so after the first line sequence instead
    // of three silent runs.
    void cliFlashNamesAnAdapterWithoutModemLines()
    {
        FakeSerialState st;
        st.modemLinesFail = true;
        st.devices["/dev/ttyUSB7"] = DeviceKind::SerialDevice;
        SetSerialPortMaker([&st] { return std::make_unique<FakeSerialPort>(st); });
        QTemporaryFile err;
        QVERIFY(err.open());
        const int saved = dup(STDERR_FILENO);
        dup2(err.handle(), STDERR_FILENO);
        QElapsedTimer t;
        t.start();
        // A tty that is no pty, so the command line counts it as a real adapter.
        const int status = talvex::cli::RunCli({"-p", "/dev/ttyUSB7", "flash", "--yes-standin"});
        const qint64 ms = t.elapsed();
        fflush(stderr);
        dup2(saved, STDERR_FILENO);
        ::close(saved);
        QFile written(err.fileName());
        QVERIFY(written.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(written.readAll());
        QCOMPARE(status, 3);
        QVERIFY2(text.contains("does not drive DTR/RTS") && text.contains("--boot-entry manual"), qPrintable(text));
        QVERIFY2(ms < 3000, qPrintable(QString::number(ms)));
        QVERIFY(!st.open);
    }

    // Today's adapters and the old order side by side: a drop of DTR alone right
    // after the open is what the check above exists to catch.
    void theCheckCatchesDtrDroppedFirst()
    {
        FakeSerialState st;
        FakeSerialPort port(st);
        std::vector<uint32_t> times;
        st.linesChanged = [&] { times.resize(st.lineLog.size(), SteadyMs()); };
        QVERIFY(port.open("/dev/ttyUSB0"));
        port.setDtr(false);
        port.setRts(false);
        QVERIFY(!StrayBootEntry(st.lineLog, times).isEmpty());
    }
};

QTEST_MAIN(TestAdapterLines)
#include "tst_adapter_lines.moc"
