// The serial component over a recording double of the platform layer.
#include "serial/PortNames.h"
#include "serial/QRT_ComDrv.h"
#include "tests/support/FakeSerialPort.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>

Q_DECLARE_METATYPE(PortFault)

class TestComDrv : public QObject {
    Q_OBJECT

    FakeSerialState st;
    std::unique_ptr<TQRTCommDriver> drv;

    TQRTCommDriver &makeDriver()
    {
        st = FakeSerialState{};
        drv = std::make_unique<TQRTCommDriver>(nullptr, std::make_unique<FakeSerialPort>(st));
        return *drv;
    }
    int count(const std::string &call) const
    {
        return static_cast<int>(std::count(st.calls.begin(), st.calls.end(), call));
    }

private slots:
    void init() { qunsetenv(kPortDirEnv); }

    void initialState()
    {
        auto &d = makeDriver();
        QCOMPARE(d.ComPort(), pnCOM1);
        QCOMPARE(d.ComPortSpeed(), br9600);
        QCOMPARE(d.ComPortDataBits(), db8BITS);
        QCOMPARE(d.ComPortStopBits(), sb1BITS);
        QCOMPARE(d.ComPortParity(), ptNONE);
        QCOMPARE(d.ComPortHwHandshaking(), hhNONE);
        QCOMPARE(d.ComPortSwHandshaking(), shNONE);
        QCOMPARE(d.ComPortInBufSize(), uint16_t(1024));
        QCOMPARE(d.ComPortOutBufSize(), uint16_t(512));
        QCOMPARE(d.ComPortPollingDelay(), uint16_t(5));
        QCOMPARE(d.EnableDTROnOpen(), false);
        QCOMPARE(d.OutputTimeout(), uint16_t(4000));
        QVERIFY(!d.OnReceiveData());
        QCOMPARE(d.RxCount, uint16_t(0));
        QVERIFY(!d.IsOpen());
        QCOMPARE(d.OutFreeSpace(), uint16_t(65535));
    }

    void closedPortDoesNothing()
    {
        auto &d = makeDriver();
        const uint8_t byte = 0x55;
        d.SetDtr(true);
        d.SetRts(true);
        d.PurgeBuffers(true, true);
        d.ApplySettings();
        d.PollReceive();
        QCOMPARE(d.SendData(&byte, 1), 0);
        d.Close();
        QVERIFY(st.calls.empty());
    }

    void openAppliesSettingsAndPolls()
    {
        auto &d = makeDriver();
        d.SetComPort(pnCOM3);
        d.SetComPortSpeed(br57600);
        d.SetComPortParity(ptEVEN);
        QVERIFY(d.Open());
        // The lines the kernel raised at the open go down, the boot pin (RTS) while
        // reset (DTR) still holds, then together again with the settings; then the
        // adapter is asked for low latency.
        const std::vector<std::string> expected = {"open:/dev/ttyUSB0", "rts:0",     "dtr:0",     "apply",
                                                   "drop:dtr,rts",      "purge:1,1", "lowlatency"};
        QCOMPARE(st.calls, expected);
        QCOMPARE(st.applied.back().baud, 57600u);
        QCOMPARE(st.applied.back().dataBits, 8);
        QCOMPARE(st.applied.back().parity, 2);
        QCOMPARE(st.applied.back().stopBits, 0);
        QCOMPARE(st.applied.back().dtrOn, false);
        QVERIFY(d.PollingTimer().isActive());
        QCOMPARE(d.PollingTimer().interval(), 5);
        QCOMPARE(d.PollingTimer().timerType(), Qt::PreciseTimer);

        // A second Open neither reopens nor reconfigures.
        QVERIFY(d.Open());
        QCOMPARE(st.calls, expected);

        d.Close();
        QVERIFY(!d.IsOpen());
        QVERIFY(!d.PollingTimer().isActive());
    }

    void failedOpenLeavesClosed()
    {
        auto &d = makeDriver();
        st.openFails = true;
        QVERIFY(!d.Open());
        QVERIFY(!d.IsOpen());
        QVERIFY(!d.PollingTimer().isActive());
        QCOMPARE(count("apply"), 0);
        st.openFails = false;
        QVERIFY(d.Open());
    }

    void portChangeOnlyWhileClosed()
    {
        auto &d = makeDriver();
        d.SetComPort(pnCOM2);
        QVERIFY(d.Open());
        d.SetComPort(pnCOM5);
        QCOMPARE(d.ComPort(), pnCOM2);
        d.Close();
        QVERIFY(d.Open());
        QCOMPARE(count("open:/dev/ttyS1"), 2);
        d.Close();
        d.SetComPort(pnCOM8);
        QVERIFY(d.Open());
        QCOMPARE(count("open:/dev/ttyACM1"), 1);
    }

    void devicePathInsteadOfTheComName()
    {
        auto &d = makeDriver();
        d.SetComPort(pnCOM4);
        d.SetDevicePath("/dev/serial/by-id/usb-adapter");
        QCOMPARE(d.DeviceName(), std::string("/dev/serial/by-id/usb-adapter"));
        QVERIFY(d.Open());
        // Like the port number, the path is kept while the port is open.
        d.SetDevicePath("/dev/ttyS3");
        QCOMPARE(d.DevicePath(), std::string("/dev/serial/by-id/usb-adapter"));
        d.Close();
        // An empty path hands the choice back to the COM name.
        d.SetDevicePath("");
        QVERIFY(d.Open());
        QCOMPARE(st.calls.front(), std::string("open:/dev/serial/by-id/usb-adapter"));
        QCOMPARE(count("open:/dev/ttyUSB1"), 1);
    }

    void settingChangeWhileOpenReappliesAndDropsLines()
    {
        auto &d = makeDriver();
        QVERIFY(d.Open());
        d.SetDtr(true);
        d.SetRts(true);
        st.calls.clear();
        d.SetComPortSpeed(br115200);
        // Re-applying the line settings drops DTR and RTS again and empties both queues.
        const std::vector<std::string> expected = {"apply", "drop:dtr,rts", "purge:1,1"};
        QCOMPARE(st.calls, expected);
        QCOMPARE(st.applied.back().baud, 115200u);
        QCOMPARE(st.applied.back().dtrOn, false);
        QCOMPARE(st.applied.back().rtsCts, false);

        d.SetEnableDTROnOpen(true);
        QCOMPARE(st.applied.size(), size_t(2));  // stored only
        d.SetComPortHwHandshaking(hhRTSCTS);
        d.SetComPortSwHandshaking(shXONXOFF);
        d.SetComPortStopBits(sb1HALFBITS);
        d.SetComPortDataBits(db5BITS);
        QCOMPARE(st.applied.size(), size_t(6));
        QCOMPARE(st.applied.back().dtrOn, true);
        QCOMPARE(st.applied.back().rtsCts, true);
        QCOMPARE(st.applied.back().xonXoff, true);
        QCOMPARE(st.applied.back().stopBits, 1);
        QCOMPARE(st.applied.back().dataBits, 5);
    }

    void modemLines()
    {
        auto &d = makeDriver();
        QVERIFY(d.Open());
        st.calls.clear();
        d.SetDtr(true);
        d.SetRts(false);
        d.SetRts(true);
        d.SetDtr(false);
        const std::vector<std::string> expected = {"dtr:1", "rts:0", "rts:1", "dtr:0"};
        QCOMPARE(st.calls, expected);
    }

    // A driver that refuses the settings, or takes them and keeps others (an
    // adapter ignoring parity), leaves no port open: the link would only time out.
    void settingsNotTakenFailTheOpen_data()
    {
        QTest::addColumn<bool>("refused");
        QTest::addColumn<PortFault>("fault");
        QTest::newRow("refused") << true << PortFault::SettingsRefused;
        QTest::newRow("read back differs") << false << PortFault::SettingsNotKept;
    }
    void settingsNotTakenFailTheOpen()
    {
        QFETCH(bool, refused);
        QFETCH(PortFault, fault);
        auto &d = makeDriver();
        st.settingsRefused = refused;
        st.settingsNotKept = !refused;
        QVERIFY(!d.Open());
        QVERIFY(!d.IsOpen());
        QCOMPARE(d.LastFault(), fault);
        QCOMPARE(st.calls.back(), std::string("close"));
        QVERIFY(!d.PollingTimer().isActive());
        st.settingsRefused = st.settingsNotKept = false;
        QVERIFY(d.Open());
        QCOMPARE(d.LastFault(), PortFault::None);
    }

    // What a driver reads back against what was asked; a pty keeps neither parity
    // nor the character size, so only its speed and stop bits count.
    void settingsKeptJudgesTheReadBack_data()
    {
        QTest::addColumn<uint32_t>("baud");
        QTest::addColumn<int>("dataBits");
        QTest::addColumn<int>("parity");
        QTest::addColumn<int>("stopBits");
        QTest::addColumn<bool>("pty");
        QTest::addColumn<bool>("kept");
        // Asked: 57600 8E1.
        QTest::newRow("as asked") << 57600u << 8 << 2 << 0 << false << true;
        QTest::newRow("parity ignored") << 57600u << 8 << 0 << 0 << false << false;
        QTest::newRow("odd for even") << 57600u << 8 << 1 << 0 << false << false;
        QTest::newRow("seven data bits") << 57600u << 7 << 2 << 0 << false << false;
        QTest::newRow("two stop bits") << 57600u << 8 << 2 << 2 << false << false;
        QTest::newRow("other speed") << 9600u << 8 << 2 << 0 << false << false;
        QTest::newRow("divisor off by 1 %") << 58176u << 8 << 2 << 0 << false << true;
        QTest::newRow("off by 3 %") << 59328u << 8 << 2 << 0 << false << false;
        QTest::newRow("pty drops parity") << 57600u << 8 << 0 << 0 << true << true;
        QTest::newRow("pty, other speed") << 115200u << 8 << 0 << 0 << true << false;
        QTest::newRow("pty, two stop bits") << 57600u << 8 << 0 << 2 << true << false;
    }
    void settingsKeptJudgesTheReadBack()
    {
        QFETCH(uint32_t, baud);
        QFETCH(int, dataBits);
        QFETCH(int, parity);
        QFETCH(int, stopBits);
        QFETCH(bool, pty);
        QFETCH(bool, kept);
        LineSettings asked;
        asked.baud = 57600;
        asked.parity = 2;
        LineSettings got;
        got.baud = baud;
        got.dataBits = dataBits;
        got.parity = parity;
        got.stopBits = stopBits;
        QCOMPARE(SettingsKept(asked, got, pty), kept);
    }

    // Every open asks for low latency and sets the port to drop its lines when
    // closed; the close gives the adapter its old latency back. A port without the
    // ioctl (a pty) opens all the same.
    void lowLatencyAndHangUpOnClose()
    {
        auto &d = makeDriver();
        QVERIFY(d.Open());
        QVERIFY(st.lowLatency);
        QVERIFY(st.applied.back().hangUpOnClose);
        d.Close();
        QVERIFY(!st.lowLatency);

        st.lowLatency = true;  // already set by someone else: left so
        QVERIFY(d.Open());
        d.Close();
        QVERIFY(st.lowLatency);

        st.lowLatency = false;
        st.serialIoctlFails = true;
        QVERIFY(d.Open());
        QVERIFY(!st.lowLatency);
        QCOMPARE(count("lowlatency"), 3);
    }

    // A port without modem lines takes the calls and says so; the open is not refused.
    void refusedModemLinesAreReported()
    {
        auto &d = makeDriver();
        st.modemLinesFail = true;
        QVERIFY(d.Open());
        QVERIFY(!d.ModemLinesRefused());  // the settings' own drop is not the caller's
        d.SetRts(true);
        QVERIFY(d.ModemLinesRefused());
        d.Close();
        QVERIFY(d.Open());
        QVERIFY(!d.ModemLinesRefused());
        st.modemLinesFail = false;
        d.SetDtr(true);
        QVERIFY(!d.ModemLinesRefused());
    }

    // A read or a send that finds the line hung up releases the device at once.
    void hangUpReleasesTheDevice_data()
    {
        QTest::addColumn<bool>("bySend");
        QTest::newRow("found by a read") << false;
        QTest::newRow("found by a send") << true;
    }
    void hangUpReleasesTheDevice()
    {
        QFETCH(bool, bySend);
        auto &d = makeDriver();
        QSignalSpy lost(&d, &TQRTCommDriver::Lost);
        QVERIFY(d.Open());
        st.hungUp = true;
        const uint8_t frame[8] = {};
        if (bySend)
            QCOMPARE(d.SendData(frame, 8), TQRTCommDriver::kSendDeviceGone);
        else
            d.PollReceive();
        QVERIFY(!d.IsOpen());
        QVERIFY(d.DeviceLost());
        QCOMPARE(d.LastFault(), PortFault::Removed);
        QCOMPARE(lost.count(), 1);
        QCOMPARE(d.SendData(frame, 8), TQRTCommDriver::kSendDeviceGone);
        QCOMPARE(d.SendData(frame, 0), 0);
        d.Close();
        QVERIFY(!d.DeviceLost());
        QCOMPARE(d.SendData(frame, 8), 0);
    }

    void outFreeSpace()
    {
        auto &d = makeDriver();
        QVERIFY(d.Open());
        st.queued = 12;
        QCOMPARE(d.OutFreeSpace(), uint16_t(500));
        st.queueQueryFails = true;
        QCOMPARE(d.OutFreeSpace(), uint16_t(512));
        d.Close();
        d.SetComPortOutBufSize(100);
        QVERIFY(d.Open());
        d.SetComPortOutBufSize(300);  // ignored while open
        st.queueQueryFails = false;
        st.queued = 4;
        QCOMPARE(d.OutFreeSpace(), uint16_t(96));
    }

    void sendData()
    {
        auto &d = makeDriver();
        QVERIFY(d.Open());
        const uint8_t frame[8] = {1, 3, 0, 0, 0, 0x20, 0x44, 0x12};
        QCOMPARE(d.SendData(frame, 0), 0);
        QCOMPARE(d.SendData(frame, -5), 0);
        QCOMPARE(count("write:8"), 0);

        QCOMPARE(d.SendData(frame, 8), 8);
        QCOMPARE(st.written, std::vector<uint8_t>(frame, frame + 8));

        // Partial writes continue from the first byte not yet written.
        st.written.clear();
        st.writeResults = {3, 5};
        QCOMPARE(d.SendData(frame, 8), 8);
        QCOMPARE(st.written, std::vector<uint8_t>(frame, frame + 8));
        QCOMPARE(count("write:5"), 1);
    }

    void sendDataEndsWithoutProgress_data()
    {
        QTest::addColumn<QList<int>>("results");
        QTest::addColumn<uint32_t>("queued");
        QTest::addColumn<int>("expected");
        QTest::addColumn<bool>("waitsForTimeout");
        QTest::newRow("device gone at once") << QList<int>{-1} << 0u << 0 << false;
        QTest::newRow("device gone after 3") << QList<int>{3, -1} << 0u << -3 << false;
        QTest::newRow("writes take nothing") << QList<int>{2, 0, 0, 0, 0, 0, 0, 0, 0, 0} << 0u << -2 << true;
        QTest::newRow("queue stays full") << QList<int>{} << 512u << 0 << true;
    }

    void sendDataEndsWithoutProgress()
    {
        QFETCH(QList<int>, results);
        QFETCH(uint32_t, queued);
        QFETCH(int, expected);
        QFETCH(bool, waitsForTimeout);
        auto &d = makeDriver();
        QVERIFY(d.Open());
        d.SetOutputTimeout(60);
        st.writeResults.assign(results.begin(), results.end());
        if (waitsForTimeout)
            for (int i = 0; i < 200; ++i)
                st.writeResults.push_back(0);
        st.queued = queued;
        const uint8_t frame[8] = {};
        QElapsedTimer t;
        t.start();
        QCOMPARE(d.SendData(frame, 8), expected);
        if (waitsForTimeout)
            QVERIFY2(t.elapsed() >= 60, qPrintable(QString::number(t.elapsed())));
        QVERIFY(t.elapsed() < 2000);
    }

    void pollReceiveAppendsAndOverflows()
    {
        auto &d = makeDriver();
        QVERIFY(d.Open());
        std::vector<std::pair<uint8_t, int>> events;  // first byte of the chunk, its size
        d.SetOnReceiveData([&](TQRTCommDriver *sender, const uint8_t *p, int32_t n) {
            QCOMPARE(sender, &d);
            events.emplace_back(p[0], n);
        });

        d.RxCount = 1000;
        st.reads.push_back(std::vector<uint8_t>(23, 0xAA));
        d.PollReceive();
        QCOMPARE(d.RxCount, uint16_t(1023));
        QCOMPARE(d.RxBuffer[1022], uint8_t(0xAA));

        // 1023 + 1 reaches 1024: what was gathered is dropped, the new byte lands at 0.
        st.reads.push_back({0x42});
        d.PollReceive();
        QCOMPARE(d.RxCount, uint16_t(1));
        QCOMPARE(d.RxBuffer[0], uint8_t(0x42));
        QCOMPARE(d.RxBuffer[1000], uint8_t(0xAA));  // bytes beyond RxCount are not erased

        // The largest chunk from empty fills the whole buffer.
        d.RxCount = 0;
        st.reads.push_back(std::vector<uint8_t>(1024, 0x11));
        d.PollReceive();
        QCOMPARE(d.RxCount, uint16_t(1024));
        QCOMPARE(st.lastReadSize, 1024);

        QCOMPARE(events.size(), size_t(3));
        QCOMPARE(events[1].second, 1);
        QCOMPARE(events[1].first, uint8_t(0x42));

        // A failing read and an empty one change nothing and report nothing.
        st.readFailures = 1;
        d.PollReceive();
        d.PollReceive();
        QCOMPARE(d.RxCount, uint16_t(1024));
        QCOMPARE(events.size(), size_t(3));
    }

    void inBufSize()
    {
        auto &d = makeDriver();
        d.SetComPortInBufSize(2048);  // would let one read overrun RxBuffer
        QCOMPARE(d.ComPortInBufSize(), uint16_t(1024));
        d.SetComPortInBufSize(256);
        QCOMPARE(d.ComPortInBufSize(), uint16_t(256));
        QVERIFY(d.Open());
        d.SetComPortInBufSize(512);
        QCOMPARE(d.ComPortInBufSize(), uint16_t(256));
        st.reads.push_back(std::vector<uint8_t>(300, 1));
        d.PollReceive();
        QCOMPARE(st.lastReadSize, 256);
        QCOMPARE(d.RxCount, uint16_t(256));
    }

    void pollingDelay()
    {
        auto &d = makeDriver();
        d.SetComPortPollingDelay(7);  // closed: stored only
        QVERIFY(!d.PollingTimer().isActive());
        QVERIFY(d.Open());
        QCOMPARE(d.PollingTimer().interval(), 7);
        const int id = d.PollingTimer().timerId();
        d.SetComPortPollingDelay(7);
        QCOMPARE(d.PollingTimer().timerId(), id);  // same value: not restarted
        d.SetComPortPollingDelay(3);
        QCOMPARE(d.PollingTimer().interval(), 3);
        QVERIFY(d.PollingTimer().isActive());
    }

    void pollingDelayOfZeroIsOneMillisecond()
    {
        auto &d = makeDriver();
        d.SetComPortPollingDelay(0);
        QVERIFY(d.Open());
        QCOMPARE(d.ComPortPollingDelay(), uint16_t(0));
        QCOMPARE(d.PollingTimer().interval(), 1);
        d.SetComPortPollingDelay(5);
        d.SetComPortPollingDelay(0);  // while open too
        QCOMPARE(d.PollingTimer().interval(), 1);
        QVERIFY(d.PollingTimer().isActive());
    }

    void timerDrivesPolling()
    {
        auto &d = makeDriver();
        QVERIFY(d.Open());
        st.reads.push_back({1, 2, 3});
        QTRY_COMPARE_WITH_TIMEOUT(d.RxCount, uint16_t(3), 500);
    }

    void withNothingToWatchTheTimerKeepsPollingAQuietLine()
    {
        auto &d = makeDriver();
        QVERIFY(d.Open());
        QVERIFY(!d.WatchingReadable());
        QTest::qWait(30);  // several quiet ticks
        QVERIFY(d.PollingTimer().isActive());
        st.reads.push_back({7});
        QTRY_COMPARE_WITH_TIMEOUT(d.RxCount, uint16_t(1), 500);
    }
};

QTEST_GUILESS_MAIN(TestComDrv)
#include "tst_comdrv.moc"
