// The update state machine over a recording double of the serial platform:
// the DTR/RTS line sequence and its waits, the reply checks, the bounded copy
// and the padded last block.
#include "firmware/FirmwareImage.h"
#include "tests/support/FirmwareWindowFixture.h"
#include "tests/support/MessageRecorder.h"

#include <QElapsedTimer>
#include <QTemporaryFile>
#include <QtTest>

class TestFirmware : public QObject, FirmwareWindowFixture {
    Q_OBJECT

    std::vector<std::string> callsFrom(size_t first) const
    {
        return std::vector<std::string>(st.calls.begin() + static_cast<long>(first), st.calls.end());
    }
    // Puts a reply on the line and runs one step.
    void reply(const std::vector<uint8_t> &bytes)
    {
        st.reads.push_back(bytes);
        frm->ComDriver.PollReceive();
        frm->Timer5Timer();
    }

private slots:
    void init() { createFirmwareWindowOnDouble(); }
    void cleanup() { destroyFirmwareWindow(); }

    void windowAtStart()
    {
        QCOMPARE(frm->windowTitle(), QString("TALVEX_M固件更新"));
        QCOMPARE(frm->size(), QSize(328, 89));
        QCOMPARE(frm->Label1->text(), QString("通信端口"));
        QCOMPARE(frm->Serial_Port->count(), 8);
        QCOMPARE(frm->Serial_Port->ItemIndex(), 0);
        QCOMPARE(frm->BitBtn1->text(), QString("开始更新"));
        QCOMPARE(frm->Panel1->text(), QString("就绪..."));
        QCOMPARE(frm->ProgressBar1->value(), 0);
        QCOMPARE(frm->OvertimeT.interval(), 1000);
        QCOMPARE(frm->Timer5.interval(), 3);
        QVERIFY(!frm->OvertimeT.isActive());
        QCOMPARE(frm->Engine.Core().IspState(), 0);
        QCOMPARE(TFirmwareFrm::VersionText(0x22), QString("Boot:2.2"));
        QCOMPARE(TFirmwareFrm::VersionText(0x1A), QString("Boot:1.10"));
    }

    void lineSequenceAndWaits()
    {
        frm->Serial_Port->SetItemIndex(7);
        QElapsedTimer t;
        t.start();
        frm->BitBtn1Click();
        QVERIFY2(t.elapsed() >= 1000, qPrintable(QString::number(t.elapsed())));
        const std::vector<std::string> start = {
            "open:/dev/ttyACM1", "rts:0", "dtr:0", "apply", "drop:dtr,rts", "purge:1,1",
            "lowlatency",        "dtr:1", "rts:1", "dtr:0", "write:1"};
        QCOMPARE(st.calls, start);
        QCOMPARE(st.applied.back().baud, 115200u);
        QCOMPARE(st.applied.back().parity, 2);
        QCOMPARE(st.written, std::vector<uint8_t>{0x7F});
        QCOMPARE(frm->Engine.Core().IspState(), 1);
        QCOMPARE(frm->Engine.Core().OvertimeCount(), uint8_t(2));
        QVERIFY(frm->OvertimeT.isActive() && frm->Timer5.isActive());
        frm->Timer5.stop();  // steps by hand from here

        // Noise before the ACK is accepted: the last byte decides.
        reply({0x55, 0x00, 0x79});
        QCOMPARE(frm->Engine.Core().IspState(), 2);
        QCOMPARE(frm->Panel1->text(), QString("已成功连接"));

        // Jump to the last block's ACK: the finish drops RTS 300 ms after raising DTR,
        // then lets the chip out of reset before the port closes.
        frm->Engine.Core().JumpToStateForTest(11);
        const size_t before = st.calls.size();
        t.restart();
        reply({0x79});
        QVERIFY(t.elapsed() >= 300);
        QCOMPARE(callsFrom(before), (std::vector<std::string>{"dtr:1", "rts:0", "dtr:0", "close"}));
        QCOMPARE(frm->Panel1->text(), QString("上载完成！"));
        QCOMPARE(frm->Engine.Core().IspState(), 1);
        QVERIFY(!frm->OvertimeT.isActive());
    }

    // The port the update opens and the port its failure names are one: with no
    // entry selected in the list, COM1.
    void portOpenFailureNamesThePortTried_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<std::string>("opened");
        QTest::addColumn<int>("comNumber");
        QTest::newRow("nothing selected") << -1 << std::string("open:/dev/ttyS0") << 1;
        QTest::newRow("COM8") << 7 << std::string("open:/dev/ttyACM1") << 8;
    }
    void portOpenFailureNamesThePortTried()
    {
        QFETCH(int, index);
        QFETCH(std::string, opened);
        QFETCH(int, comNumber);
        MessageRecorder messages;
        st.openFails = true;
        frm->Serial_Port->SetItemIndex(index);
        QCOMPARE(frm->Serial_Port->ItemIndex(), index);
        frm->BitBtn1Click();
        QCOMPARE(st.calls, std::vector<std::string>{opened});
        QCOMPARE(messages.boxes(),
                 (QList<std::pair<QString, QString>>{
                     {"串口错误",
                      QString("当前串口号 COM%1 已经被占用，或其它错误 ！\r请选择其它串口，或检查串口设置是否正确。")
                          .arg(comNumber)}}));
    }

    // Closed mid-run, the window is only hidden: the run goes on to its end.
    // Shown again, it says "就绪..." and changes nothing else.
    void hiddenMidRunTheUpdateGoesOn()
    {
        QByteArray image(512, 0);
        for (int i = 0; i < image.size(); ++i)
            image[i] = char(i * 5 + 3);
        QTemporaryFile file;
        QVERIFY(file.open());
        file.write(image);
        file.close();
        frm->Engine.SetImageLoader([&] { return LoadFirmwareImageFrom(file.fileName()); });
        skipLineWaits();
        frm->show();
        QVERIFY(QTest::qWaitForWindowExposed(frm.get()));
        frm->BitBtn1Click();
        frm->Timer5.stop();
        reply({0x79});
        frm->close();
        QVERIFY(!frm->isVisible());
        reply({0x79, 0x0B, 0x22, 0x00, 0x01, 0x02, 0x11, 0x21, 0x31, 0x43, 0x63, 0x73, 0x82, 0x92, 0x79});
        reply({0x79, 0x01, 0x04, 0x10, 0x79});
        for (const auto &r : std::vector<std::vector<uint8_t>>{{0x79}, {0x79}, {0x79, 0, 0, 0, 0}, {0x79}})
            reply(r);
        for (int s = 8; s <= 10; ++s)
            reply({0x79});  // the first of two blocks
        QCOMPARE(frm->Engine.Core().IspState(), 8);
        QCOMPARE(frm->ProgressBar1->value(), 50);
        QCOMPARE(frm->Panel1->text(), QString("写进度: 50%"));
        QVERIFY(frm->OvertimeT.isActive());
        QVERIFY(frm->ComDriver.IsOpen());
        const uint8_t overtime = frm->Engine.Core().OvertimeCount();

        frm->show();
        QVERIFY(QTest::qWaitForWindowExposed(frm.get()));
        QCOMPARE(frm->Panel1->text(), QString("就绪..."));
        QCOMPARE(frm->Engine.Core().IspState(), 8);
        QCOMPARE(frm->ProgressBar1->value(), 50);
        QCOMPARE(frm->Engine.Core().OvertimeCount(), overtime);
        QCOMPARE(frm->Engine.Core().RetryCount(), uint8_t(0));
        QVERIFY(frm->OvertimeT.isActive());
        QVERIFY(frm->ComDriver.IsOpen());

        frm->close();
        for (int s = 8; s <= 11; ++s)
            reply({0x79});
        QCOMPARE(frm->Panel1->text(), QString("上载完成！"));
        QCOMPARE(statuses.last(), QString("上载完成！"));
        QVERIFY(!frm->OvertimeT.isActive() && !frm->Timer5.isActive());
        QVERIFY(!frm->ComDriver.IsOpen());
        QVERIFY(!frm->isVisible());
    }

    void replyChecks()
    {
        frm->BitBtn1Click();
        frm->Timer5.stop();
        // An ACK followed by noise is not an answer to the sync.
        reply({0x79, 0x42});
        QCOMPARE(frm->Engine.Core().IspState(), 1);
        QCOMPARE(frm->Panel1->text(), QString("无法和设备通讯，请重新尝试"));
        reply({0x79});
        QCOMPARE(frm->Engine.Core().IspState(), 2);

        // Fewer bytes than awaited stay in the buffer and count towards the next step.
        st.reads.push_back({0x79, 0x0B, 0x22, 0x00});
        frm->ComDriver.PollReceive();
        frm->Timer5Timer();
        QCOMPARE(frm->ComDriver.RxCount, uint16_t(4));
        QCOMPARE(frm->Engine.Core().IspState(), 2);
        // A Get reply whose first listed command is not Get is never taken.
        frm->ComDriver.RxCount = 0;
        reply({0x79, 0x0B, 0x22, 0x01, 0x01, 0x02, 0x11, 0x21, 0x31, 0x43, 0x63, 0x73, 0x82, 0x92, 0x79});
        QCOMPARE(frm->Engine.Core().IspState(), 2);
        reply({0x79, 0x0B, 0x22, 0x00, 0x01, 0x02, 0x11, 0x21, 0x31, 0x43, 0x63, 0x73, 0x82, 0x92, 0x79});
        QCOMPARE(frm->Engine.Core().IspState(), 3);
        QCOMPARE(frm->Panel1->text(), QString("Boot:2.2"));
    }

    void floodIsBoundedToTheReplyArea()
    {
        frm->BitBtn1Click();
        frm->Timer5.stop();
        QVERIFY(frm->Engine.Core().LoadImage());
        const uint8_t imageFirst = frm->IspBuffer[kIspImageFirst];
        // A full receive buffer of noise ending in the ACK: judged by its last byte,
        // copied no further than the command/reply area.
        std::vector<uint8_t> flood(1024, 0xEE);
        flood.back() = 0x79;
        reply(flood);
        QCOMPARE(frm->Engine.Core().IspState(), 2);
        QCOMPARE(frm->IspBuffer[kIspCommandLast], uint8_t(0xEE));
        QCOMPARE(frm->IspBuffer[kIspImageFirst], imageFirst);
    }

    void lastBlockIsPaddedToWholeWords()
    {
        // An image of 1001 bytes: the last block carries 233 image bytes and 3 bytes of 0xFF.
        QTemporaryFile file;
        QVERIFY(file.open());
        QByteArray image(1001, 0);
        for (int i = 0; i < image.size(); ++i)
            image[i] = char(i * 7);
        file.write(image);
        file.close();
        frm->Engine.SetImageLoader([&] { return LoadFirmwareImageFrom(file.fileName()); });
        QVERIFY(frm->Engine.Core().LoadImage());
        QVERIFY(frm->ComDriver.Open());
        frm->Engine.Core().JumpToBlockForTest(768, 233, 0x08000300);
        st.written.clear();
        reply({0x79});

        QCOMPARE(st.written.size(), size_t(1 + 236 + 1));
        QCOMPARE(st.written.front(), uint8_t(235));  // count byte covers the padding
        uint8_t checksum = 235;
        for (int i = 768; i < 1001; ++i) {
            QCOMPARE(st.written[size_t(i - 768 + 1)], uint8_t(image[i]));
            checksum ^= uint8_t(image[i]);
        }
        for (size_t i = 234; i < 237; ++i)
            QCOMPARE(st.written[i], uint8_t(0xFF));
        checksum ^= 0xFF ^ 0xFF ^ 0xFF;
        QCOMPARE(st.written.back(), checksum);
        // Addresses, bytes left and progress count image bytes only.
        QCOMPARE(frm->Engine.Core().BytesLeft(), 0);
        QCOMPARE(frm->Engine.Core().ImageOffset(), 1001);
        QCOMPARE(frm->Engine.Core().WriteAddress(), 0x08000300u + 233u);
        QCOMPARE(frm->ProgressBar1->value(), 100);
        QCOMPARE(frm->Engine.Core().IspState(), 11);
    }

    void imageOfWholeWordsIsNotPadded()
    {
        QVERIFY(frm->Engine.Core().LoadImage());
        QVERIFY(frm->ComDriver.Open());
        frm->Engine.Core().JumpToBlockForTest(57 * 256, 36, 0x08003900);
        st.written.clear();
        reply({0x79});
        QCOMPARE(st.written.size(), size_t(1 + 36 + 1));
        QCOMPARE(st.written.front(), uint8_t(0x23));
        QCOMPARE(frm->Engine.Core().IspState(), 11);
    }
};

QTEST_MAIN(TestFirmware)
#include "tst_firmware.moc"
