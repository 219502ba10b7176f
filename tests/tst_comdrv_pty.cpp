// The serial component on a real pseudo-terminal: what reaches the kernel's tty layer.
#include "serial/QRT_ComDrv.h"
#include "serial/Termios2.h"
#include "tests/support/PtyPair.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryFile>

#include <QtTest>
#include <ctime>

#include <fcntl.h>
#include <unistd.h>

Q_DECLARE_METATYPE(PortFault)

class TestComDrvPty : public QObject {
    Q_OBJECT

    static LineReadback readback(const PtyPair &pty)
    {
        LineReadback rb;
        // The master end reports the live settings of the slave.
        if (!ReadLineSettingsTermios2(pty.master(), rb))
            qFatal("TCGETS2 failed");
        return rb;
    }

private slots:
    void speedsReachTheTty_data()
    {
        QTest::addColumn<int>("speed");
        for (int i = br110; i <= br115200; ++i)
            QTest::newRow(qPrintable(QString::number(kBaudTable[i]))) << i;
    }

    void speedsReachTheTty()
    {
        QFETCH(int, speed);
        PtyPair pty(1);
        QVERIFY(pty.ok());
        TQRTCommDriver drv;
        drv.SetComPortSpeed(static_cast<TComPortBaudRate>(speed));
        QVERIFY(drv.Open());
        const LineReadback rb = readback(pty);
        QCOMPARE(rb.ospeed, kBaudTable[speed]);
        QCOMPARE(rb.ispeed, kBaudTable[speed]);
    }

    void lineFormatReachesTheTty_data()
    {
        QTest::addColumn<int>("parity");
        QTest::addColumn<int>("stop");
        QTest::addColumn<int>("hw");
        QTest::addColumn<int>("sw");
        QTest::addColumn<bool>("parodd");
        QTest::addColumn<bool>("cmspar");
        QTest::addColumn<bool>("cstopb");
        // A pty always clears PARENB and forces CS8, so parity on/off and the
        // data-bit count cannot be read back; PARODD and CMSPAR can.
        QTest::newRow("8E1") << int(ptEVEN) << int(sb1BITS) << 0 << 0 << false << false << false;
        QTest::newRow("odd") << int(ptODD) << int(sb1BITS) << 0 << 0 << true << false << false;
        QTest::newRow("mark") << int(ptMARK) << int(sb1BITS) << 0 << 0 << true << true << false;
        QTest::newRow("space") << int(ptSPACE) << int(sb1BITS) << 0 << 0 << false << true << false;
        QTest::newRow("two stop") << int(ptNONE) << int(sb2BITS) << 0 << 0 << false << false << true;
        QTest::newRow("1.5 stop is two") << int(ptNONE) << int(sb1HALFBITS) << 0 << 0 << false << false << true;
        QTest::newRow("rts/cts") << int(ptNONE) << int(sb1BITS) << 1 << 0 << false << false << false;
        QTest::newRow("xon/xoff") << int(ptNONE) << int(sb1BITS) << 0 << 1 << false << false << false;
    }

    void lineFormatReachesTheTty()
    {
        QFETCH(int, parity);
        QFETCH(int, stop);
        QFETCH(int, hw);
        QFETCH(int, sw);
        QFETCH(bool, parodd);
        QFETCH(bool, cmspar);
        QFETCH(bool, cstopb);
        PtyPair pty(2);
        TQRTCommDriver drv;
        drv.SetComPort(pnCOM2);
        drv.SetComPortSpeed(br57600);
        drv.SetComPortParity(static_cast<TComPortParity>(parity));
        drv.SetComPortStopBits(static_cast<TComPortStopBits>(stop));
        drv.SetComPortHwHandshaking(static_cast<TComPortHwHandshaking>(hw));
        drv.SetComPortSwHandshaking(static_cast<TComPortSwHandshaking>(sw));
        QVERIFY(drv.Open());
        const LineReadback rb = readback(pty);
        QCOMPARE(rb.parodd, parodd);
        QCOMPARE(rb.cmspar, cmspar);
        QCOMPARE(rb.cstopb, cstopb);
        QCOMPARE(rb.crtscts, hw == 1);
        QCOMPARE(rb.ixon, sw == 1);
        QCOMPARE(rb.ixoff, sw == 1);
        // Raw, immediate reads, received parity not checked.
        QVERIFY(!rb.icanon);
        QVERIFY(!rb.echo);
        QVERIFY(!rb.inpck);
        // A break at bus turnaround is no byte.
        QVERIFY(rb.ignbrk);
        QCOMPARE(rb.vmin, 0u);
        QCOMPARE(rb.vtime, 0u);
    }

    void openIsExclusive()
    {
        PtyPair pty(3);
        TQRTCommDriver first;
        TQRTCommDriver second;
        first.SetComPort(pnCOM3);
        second.SetComPort(pnCOM3);
        QVERIFY(first.Open());
        QVERIFY(!second.Open());
        QVERIFY(!second.IsOpen());

        // Another process that locks the device, root included, is kept out too.
        QProcess flock;
        flock.start("flock", {"-n", "-E", "99", QString::fromStdString(pty.linkPath()), "true"});
        QVERIFY(flock.waitForFinished(5000));
        QCOMPARE(flock.exitCode(), 99);

        first.Close();
        QVERIFY(second.Open());
    }

    // A device this process holds is refused by its number before open() (which
    // on a real port raises DTR and RTS under the holder), whatever name leads to
    // it: EBUSY, not the EWOULDBLOCK of a lock taken after the open.
    void aDeviceHeldHereIsRefusedBeforeItOpens()
    {
        PtyPair pty(3);
        const std::unique_ptr<SerialPort> first = CreatePosixSerialPort();
        const std::unique_ptr<SerialPort> second = CreatePosixSerialPort();
        QVERIFY(first->open(pty.slavePath()));
        QVERIFY(!second->open(pty.linkPath()));
        QCOMPARE(second->fault(), PortFault::Busy);
        QCOMPARE(second->errorNumber(), EBUSY);
        first->close();
        QVERIFY(second->open(pty.linkPath()));
    }

    void missingPortFails()
    {
        PtyPair pty(1);
        TQRTCommDriver drv;
        drv.SetComPort(pnCOM7);  // no link for COM7 in the port directory
        QVERIFY(!drv.Open());
        QVERIFY(!drv.IsOpen());
    }

    void bytesFlowBothWays()
    {
        PtyPair pty(1);
        TQRTCommDriver drv;
        QVERIFY(drv.Open());
        QVERIFY(drv.PollingTimer().isActive());
        const uint8_t frame[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x20, 0x44, 0x12};
        QCOMPARE(drv.SendData(frame, 0), 0);
        QCOMPARE(drv.SendData(frame, 8), 8);
        QCOMPARE(pty.readMaster(), std::vector<uint8_t>(frame, frame + 8));

        pty.writeMaster({0xDE, 0xAD, 0xBE, 0xEF});
        QTRY_COMPARE_WITH_TIMEOUT(drv.RxCount, uint16_t(4), 1000);  // through the polling timer
        QCOMPARE(drv.RxBuffer[0], uint8_t(0xDE));
        QCOMPARE(drv.RxBuffer[3], uint8_t(0xEF));

        drv.Close();
        QCOMPARE(drv.SendData(frame, 8), 0);
        QCOMPARE(drv.RxCount, uint16_t(4));  // Close leaves the buffer alone
    }

    void bytesAreTakenWhenTheyArrive()
    {
        PtyPair pty(1);
        TQRTCommDriver drv;
        QVERIFY(drv.Open());
        drv.SetComPortPollingDelay(60000);  // the timer alone would not see them for a minute
        QVERIFY(drv.WatchingReadable());
        pty.writeMaster({0x79});
        QTRY_COMPARE_WITH_TIMEOUT(drv.RxCount, uint16_t(1), 500);
    }

    void quietWatchedLineWakesNobody()
    {
        PtyPair pty(1);
        TQRTCommDriver drv;
        QVERIFY(drv.Open());
        QVERIFY(drv.WatchingReadable());
        // Arriving bytes wake the component by themselves: the timer stops at its
        // first quiet tick, and an open but silent port costs no wake-ups.
        QTRY_VERIFY_WITH_TIMEOUT(!drv.PollingTimer().isActive(), 500);
        pty.writeMaster({0x01, 0x03});
        QTRY_COMPARE_WITH_TIMEOUT(drv.RxCount, uint16_t(2), 500);
        pty.writeMaster({0x40});
        QTRY_COMPARE_WITH_TIMEOUT(drv.RxCount, uint16_t(3), 500);
        QCOMPARE(drv.RxBuffer[2], uint8_t(0x40));
    }

    // An owner that reads the line itself: after each of its reads the driver
    // neither watches nor polls, and bytes wait in the line for the next read.
    // Once a read is overdue, or the owner stops promising them, the driver takes
    // bytes by itself again.
    void ownerReadsLeaveTheLineToTheOwner()
    {
        PtyPair pty(1);
        TQRTCommDriver drv;
        drv.SetOwnerReadInterval(2000);
        QVERIFY(drv.Open());
        QVERIFY(drv.TakingOnArrival());  // until the owner's first read
        QVERIFY(drv.WatchingReadable());
        drv.PollReceive();
        QVERIFY(!drv.TakingOnArrival());
        QVERIFY(!drv.WatchingReadable());
        QVERIFY(!drv.PollingTimer().isActive());
        drv.SetComPortPollingDelay(7);  // a new delay does not start the timer again
        QVERIFY(!drv.PollingTimer().isActive());

        pty.writeMaster({0x01, 0x03, 0x40});
        QTest::qWait(50);
        QCOMPARE(drv.RxCount, uint16_t(0));
        drv.PollReceive();
        QCOMPARE(drv.RxCount, uint16_t(3));
        QCOMPARE(drv.RxBuffer[2], uint8_t(0x40));

        // A read overdue: bytes are taken on arrival again.
        drv.SetOwnerReadInterval(100);
        drv.PollReceive();
        pty.writeMaster({0x55});
        QTRY_COMPARE_WITH_TIMEOUT(drv.RxCount, uint16_t(4), 2000);
        QVERIFY(drv.TakingOnArrival());
        QCOMPARE(drv.RxBuffer[3], uint8_t(0x55));

        // No more promise: watched again at once.
        drv.SetOwnerReadInterval(2000);
        drv.PollReceive();
        QVERIFY(!drv.WatchingReadable());
        drv.SetOwnerReadInterval(0);
        QVERIFY(drv.WatchingReadable());
        pty.writeMaster({0x66});
        QTRY_COMPARE_WITH_TIMEOUT(drv.RxCount, uint16_t(5), 500);
    }

    void hungUpLineDoesNotSpin()
    {
        auto pty = std::make_unique<PtyPair>(1);
        TQRTCommDriver drv;
        QVERIFY(drv.Open());
        pty.reset();  // the far end and every other holder of the line are gone
        const std::clock_t before = std::clock();
        QTest::qWait(300);
        const double cpuMs = 1000.0 * double(std::clock() - before) / CLOCKS_PER_SEC;
        QVERIFY2(cpuMs < 150, qPrintable(QString("%1 ms of CPU in 300 ms").arg(cpuMs)));
        QVERIFY(!drv.WatchingReadable());
        QVERIFY(!drv.PollingTimer().isActive());
    }

    // A line that takes no bytes at all (the far end stopped reading and the
    // kernel's buffers are full, as behind a held CTS or a stuck adapter): the send
    // gives up after one OutputTimeout, having sent nothing.
    void stalledLineEndsTheSendAfterOneOutputTimeout()
    {
        PtyPair pty(1);
        TQRTCommDriver drv;
        QVERIFY(drv.Open());
        // The kernel moves bytes between a pty's buffers in the background and may
        // take a few more a moment later: fill until it takes none twice running.
        const std::vector<uint8_t> block(16 * 1024, 0x55);
        drv.SetOutputTimeout(20);
        int taken = 0;
        for (int empty = 0, round = 0; empty < 2 && round < 100; ++round) {
            const int32_t r = drv.SendData(block.data(), int32_t(block.size()));
            taken += -r;
            empty = r == 0 ? empty + 1 : 0;
            usleep(20000);
        }
        QVERIFY2(taken > 0, "the pty took nothing");

        // A second full wait hides behind a deadline test that misses by a
        // millisecond only now and then: three sends give it three chances to show.
        constexpr int kTimeoutMs = 300;
        constexpr int kMarginMs = 100;
        // The component counts on a millisecond tick, this test on another clock:
        // the two may read a millisecond apart.
        constexpr int kTickMs = 1;
        drv.SetOutputTimeout(kTimeoutMs);
        const uint8_t frame[] = {1, 2, 3, 4, 5, 6, 7, 8};
        for (int send = 0; send < 3; ++send) {
            QElapsedTimer t;
            t.start();
            QCOMPARE(drv.SendData(frame, 8), 0);
            const qint64 ms = t.elapsed();
            QVERIFY2(ms >= kTimeoutMs - kTickMs && ms <= kTimeoutMs + kMarginMs, qPrintable(QString("%1 ms").arg(ms)));
        }

        // Everything reported as sent arrived; once the far end reads, the line works again.
        size_t arrived = 0;
        for (std::vector<uint8_t> got; !(got = pty.readMaster(200, 20)).empty();)
            arrived += got.size();
        QCOMPARE(arrived, size_t(taken));
        QCOMPARE(drv.SendData(frame, 3), 3);
        QCOMPARE(pty.readMaster(), std::vector<uint8_t>(frame, frame + 3));
    }

    void pollingDelayOfZeroDoesNotSpin()
    {
        PtyPair pty(1);
        TQRTCommDriver drv;
        drv.SetComPortPollingDelay(0);
        QVERIFY(drv.Open());
        const std::clock_t before = std::clock();
        QTest::qWait(300);
        const double cpuMs = 1000.0 * double(std::clock() - before) / CLOCKS_PER_SEC;
        // A 1 ms timer costs a few ms of CPU here; a spinning thread takes what the machine gives it.
        QVERIFY2(cpuMs < 60, qPrintable(QString("%1 ms of CPU in 300 ms").arg(cpuMs)));
        // It still polls.
        drv.SetComPortPollingDelay(0);
        pty.writeMaster({0x42});
        QTRY_COMPARE_WITH_TIMEOUT(drv.RxCount, uint16_t(1), 500);
    }

    void speedChangeWhileOpenPurges()
    {
        PtyPair pty(1);
        TQRTCommDriver drv;
        drv.SetComPortSpeed(br57600);
        QVERIFY(drv.Open());
        drv.SetComPortPollingDelay(60000);  // keep the timer out of the way
        pty.writeMaster({1, 2, 3, 4, 5});
        usleep(20000);  // no event loop: the bytes wait in the driver's queue
        drv.SetComPortSpeed(br115200);
        QCOMPARE(readback(pty).ospeed, 115200u);
        drv.PollReceive();
        QCOMPARE(drv.RxCount, uint16_t(0));
        // The line itself still works afterwards.
        pty.writeMaster({9});
        QTRY_COMPARE_WITH_TIMEOUT(drv.RxCount, uint16_t(1), 500);
    }

    void customSpeedThenStandardSpeed()
    {
        // After a BOTHER speed a standard one must take both directions with it.
        PtyPair pty(1);
        TQRTCommDriver drv;
        drv.SetComPortSpeed(br56000);
        QVERIFY(drv.Open());
        QCOMPARE(readback(pty).ospeed, 56000u);
        drv.SetComPortSpeed(br9600);
        QCOMPARE(readback(pty).ospeed, 9600u);
        QCOMPARE(readback(pty).ispeed, 9600u);
    }

    // An adapter pulled out looks like this to the tty: its far end gone. The
    // component lets the device go at once, so its name is free when the adapter
    // comes back, and says so to whoever sends.
    void hangUpReleasesTheDevice()
    {
        auto pty = std::make_unique<PtyPair>(1);
        TQRTCommDriver drv;
        QSignalSpy lost(&drv, &TQRTCommDriver::Lost);
        QVERIFY(drv.Open());
        drv.RxCount = 0;
        const int master = dup(pty->master());
        pty.reset();  // closes the master: the line hangs up
        close(master);
        QTRY_VERIFY_WITH_TIMEOUT(!drv.IsOpen(), 1000);
        QCOMPARE(lost.count(), 1);
        QVERIFY(drv.DeviceLost());
        QCOMPARE(drv.LastFault(), PortFault::Removed);
        QCOMPARE(drv.RxCount, uint16_t(0));
        const uint8_t byte = 0;
        QVERIFY(drv.SendData(&byte, 1) < 0);

        // Disconnect, and connect again once a line is back under the same name.
        drv.Close();
        QVERIFY(!drv.DeviceLost());
        QCOMPARE(drv.SendData(&byte, 1), 0);
        PtyPair back(1);
        QVERIFY(drv.Open());
        QCOMPARE(drv.SendData(&byte, 1), 1);
        QCOMPARE(back.readMaster(), std::vector<uint8_t>{0});
        QCOMPARE(lost.count(), 1);
    }

    // What cannot be a serial line is refused before it is opened, with the reason.
    void openNamesWhyItFailed_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<PortFault>("fault");
        QTest::newRow("missing") << "/dev/ttyUSB-none" << PortFault::NotPresent;
        QTest::newRow("/dev/null") << "/dev/null" << PortFault::NotSerialDevice;
        QTest::newRow("regular file") << "FILE" << PortFault::NotSerialDevice;
        QTest::newRow("folder") << "/tmp" << PortFault::NotSerialDevice;
    }
    void openNamesWhyItFailed()
    {
        QFETCH(QString, path);
        QFETCH(PortFault, fault);
        QTemporaryFile file;
        QVERIFY(file.open());
        TQRTCommDriver drv;
        drv.SetDevicePath(path == "FILE" ? file.fileName().toStdString() : path.toStdString());
        QVERIFY(!drv.Open());
        QVERIFY(!drv.IsOpen());
        QCOMPARE(drv.LastFault(), fault);
    }

    // A second holder of the line is named as such.
    void busyPortIsNamedBusy()
    {
        PtyPair pty(1);
        TQRTCommDriver first;
        TQRTCommDriver second;
        QVERIFY(first.Open());
        QVERIFY(!second.Open());
        QCOMPARE(second.LastFault(), PortFault::Busy);
    }
};

QTEST_GUILESS_MAIN(TestComDrvPty)
#include "tst_comdrv_pty.moc"
