// Request frames on the wire, reply validation and the register mirror.
#include "modbus/Crc16.h"
#include "modbus/MODBUS_RTU.h"
#include "serial/QRT_ComDrv.h"
#include "tests/support/ModbusBytes.h"
#include "tests/support/PtyPair.h"

#include <QtTest>

namespace {

void Load(TQRTCommDriver &drv, const Bytes &bytes)
{
    std::copy(bytes.begin(), bytes.end(), drv.RxBuffer);
    drv.RxCount = static_cast<uint16_t>(bytes.size());
}

}  // namespace

class TestModbusFrames : public QObject {
    Q_OBJECT

    int station = 1;
    TLinkMode mode = TLinkMode::PcUart;

    void link(TQRTCommDriver *drv)
    {
        SetModbusLink({drv, [this] { return station; }, [this] { return mode; }});
    }

private slots:
    void crcCatalogueValue()
    {
        const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
        QCOMPARE(CalcCrc16(check, sizeof check), uint16_t(0x4B37));
    }

    void framesOnTheWire_data()
    {
        QTest::addColumn<int>("st");
        QTest::addColumn<TLinkMode>("md");
        QTest::addColumn<bool>("isWrite");
        QTest::addColumn<int>("address");
        QTest::addColumn<int>("arg");
        QTest::addColumn<Bytes>("wire");
        QTest::newRow("read 32 from 0, PC-UART")
            << 1 << TLinkMode::PcUart << false << 0 << 32 << Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x20, 0x44, 0x12};
        QTest::newRow("read 32 from 0, PLC-CAN")
            << 1 << TLinkMode::PlcCan << false << 0 << 32 << Bytes{0x01, 0x03, 0x08, 0x98, 0x00, 0x20, 0xC7, 0x9D};
        QTest::newRow("write 10=100, PC-UART")
            << 1 << TLinkMode::PcUart << true << 10 << 100 << Bytes{0x01, 0x06, 0x00, 0x0A, 0x00, 0x64, 0xA8, 0x23};
        QTest::newRow("write 12, PLC-CAN goes to 2212")
            << 1 << TLinkMode::PlcCan << true << 12 << 5000 << Bytes{0x01, 0x06, 0x08, 0xA4, 0x13, 0x88, 0xC7, 0x1F};
        QTest::newRow("station 99") << 99 << TLinkMode::PcUart << false << 0 << 32
                                    << Bytes{0x63, 0x03, 0x00, 0x00, 0x00, 0x20, 0x4C, 0x50};
    }

    void framesOnTheWire()
    {
        QFETCH(int, st);
        QFETCH(TLinkMode, md);
        QFETCH(bool, isWrite);
        QFETCH(int, address);
        QFETCH(int, arg);
        QFETCH(Bytes, wire);
        PtyPair pty(1);
        TQRTCommDriver drv;
        QVERIFY(drv.Open());
        station = st;
        mode = md;
        link(&drv);
        if (isWrite) {
            drv.SetOutputTimeout(100);
            WriteRegisterOnce(address, arg, kFnWriteSingleRegister);
        } else {
            drv.RxCount = 7;
            SendReadRequest(address, arg, kFnReadHoldingRegisters);
            QCOMPARE(drv.RxCount, uint16_t(0));
            QCOMPARE(ExpectedBytes, uint16_t(2 * arg));
        }
        QCOMPARE(pty.readMaster(), wire);
    }

    void modeIsReadForEveryFrame()
    {
        PtyPair pty(1);
        TQRTCommDriver drv;
        QVERIFY(drv.Open());
        station = 1;
        link(&drv);
        mode = TLinkMode::PcUart;
        SendReadRequest(0, 32, kFnReadHoldingRegisters);
        mode = TLinkMode::PlcCan;
        SendReadRequest(0, 32, kFnReadHoldingRegisters);
        const Bytes both = pty.readMaster();
        QCOMPARE(both.size(), size_t(16));
        QCOMPARE(both[2], uint8_t(0x00));
        QCOMPARE(both[10], uint8_t(0x08));
        mode = TLinkMode::PcUart;
    }

    void countOutsideTheMirrorIsRefused()
    {
        PtyPair pty(1);
        TQRTCommDriver drv;
        QVERIFY(drv.Open());
        link(&drv);
        SendReadRequest(0, 32, kFnReadHoldingRegisters);
        pty.readMaster();
        drv.RxCount = 9;
        SendReadRequest(0, 102, kFnReadHoldingRegisters);
        SendReadRequest(0, 0, kFnReadHoldingRegisters);
        SendReadRequest(0, -1, kFnReadHoldingRegisters);
        QVERIFY(pty.readMaster(100).empty());
        QCOMPARE(drv.RxCount, uint16_t(9));
        QCOMPARE(ExpectedBytes, uint16_t(64));
    }

    void fetchRegisters_data()
    {
        std::vector<uint16_t> words(32);
        for (int i = 0; i < 32; ++i)
            words[static_cast<size_t>(i)] = static_cast<uint16_t>(1000 + i);
        words[0] = 0x1234;
        const Bytes valid = ReadReply(1, words);
        Bytes badCrc = valid;
        badCrc[68] ^= 0x01;
        // Not 0x00: CRC(reply + CRC low byte) is (CRC high byte, 0x00), so a zero
        // after a valid reply passes the test (and carries the same registers).
        Bytes stray = valid;
        stray.push_back(0x55);
        Bytes shortBy1(valid.begin(), valid.end() - 1);
        Bytes otherHeader = valid;  // station/function/count are not examined
        otherHeader[0] = 7;
        otherHeader[2] = 0;
        PutCrc(otherHeader.data(), 67);

        QTest::addColumn<Bytes>("buffer");
        QTest::addColumn<bool>("ok");
        QTest::newRow("68 bytes: not complete") << shortBy1 << false;
        QTest::newRow("69 bytes, valid") << valid << true;
        QTest::newRow("70 bytes: stray byte after a valid reply") << stray << false;
        QTest::newRow("bad CRC") << badCrc << false;
        QTest::newRow("header not examined") << otherHeader << true;
    }

    void fetchRegisters()
    {
        QFETCH(Bytes, buffer);
        QFETCH(bool, ok);
        TQRTCommDriver drv;
        link(&drv);
        ResetRegisterMirror();
        SendReadRequest(0, 32, kFnReadHoldingRegisters);  // closed port: sets the expectation only
        Load(drv, buffer);
        QCOMPARE(FetchRegisters(0), ok);
        QCOMPARE(drv.RxCount, uint16_t(buffer.size()));
        if (ok) {
            QCOMPARE(RegisterMirror[0], uint16_t(0x1234));
            QCOMPARE(RegisterMirror[31], uint16_t(1031));
            QCOMPARE(RegisterMirror[32], uint16_t(32));
            // The same reply found again is taken again.
            RegisterMirror[5] = 0;
            QVERIFY(FetchRegisters(0));
            QCOMPARE(RegisterMirror[5], uint16_t(1005));
        } else {
            for (int i = 0; i < kMirrorWords; ++i)
                QCOMPARE(RegisterMirror[i], uint16_t(i));
        }
    }

    void fetchIndexMustFitTheMirror()
    {
        TQRTCommDriver drv;
        link(&drv);
        ResetRegisterMirror();
        SendReadRequest(0, 32, kFnReadHoldingRegisters);
        Load(drv, ReadReply(1, std::vector<uint16_t>(32, 0xFFFF)));
        QVERIFY(!FetchRegisters(70));
        QVERIFY(!FetchRegisters(-1));
        QCOMPARE(RegisterMirror[100], uint16_t(100));
        QVERIFY(FetchRegisters(69));  // words 69 ... 100: the last that fits
        QCOMPARE(RegisterMirror[100], uint16_t(0xFFFF));
        QCOMPARE(RegisterMirror[68], uint16_t(68));
        ResetRegisterMirror();
    }

    void fullMirrorRead()
    {
        TQRTCommDriver drv;
        link(&drv);
        ResetRegisterMirror();
        SendReadRequest(0, 101, kFnReadHoldingRegisters);
        QCOMPARE(ExpectedBytes, uint16_t(202));
        Load(drv, ReadReply(1, std::vector<uint16_t>(101, 7)));
        QVERIFY(FetchRegisters(0));
        QCOMPARE(RegisterMirror[100], uint16_t(7));
        ResetRegisterMirror();
    }
};

QTEST_GUILESS_MAIN(TestModbusFrames)
#include "tst_modbus_frames.moc"
