// The firmware update against the simulated module's bootloader over a pty.
#include "firmware/FirmwareImage.h"
#include "firmware/stm32/Stm32Protocol.h"
#include "tests/support/FlashHolds.h"
#include "tests/support/MainWindowTest.h"
#include "tests/support/MessageRecorder.h"
#include "tests/support/SimFixture.h"
#include "tests/support/Stm32flashHost.h"

#include <QtTest>

using talvex::sim::SimMode;

class TestFirmwareSim : public UpdateWindowsTest {
    Q_OBJECT

private slots:
    void wholeUpdateOfTheCarriedImage()
    {
        SimFixture sim(SimMode::FixedPort, 2, 149);
        // Old program in the pages the update erases, settings in a page above them.
        const std::vector<uint8_t> oldCode(20 * 1024, 0x00);
        const std::vector<uint8_t> settings(1024, 0x5A);
        sim->withBootloader([&](auto &boot) {
            boot.chip().preloadFlash(0x08000000, oldCode);
            boot.chip().preloadFlash(0x08000000 + 100 * 1024, settings);
        });
        const std::optional<QByteArray> carried = LoadFirmwareImage();
        QVERIFY(carried);
        const QByteArray image = *carried;
        QCOMPARE(image.size(), 14628);

        startUpdate();
        QTRY_COMPARE_WITH_TIMEOUT(frm->Panel1->text(), QString("上载完成！"), 30000);
        QCOMPARE(frm->ProgressBar1->value(), 0);
        QVERIFY(!frm->ComDriver.IsOpen());
        QVERIFY(!frm->Timer5.isActive());
        QVERIFY(!frm->OvertimeT.isActive());

        // The status line passed through its texts in order.
        QCOMPARE(statuses.mid(0, 5),
                 (QStringList{"正在查找设备。。。", "已成功连接", "Boot:2.2", "正在擦除。。。", "写进度: 1%"}));
        QCOMPARE(statuses.last(), QString("上载完成！"));
        QCOMPARE(statuses[statuses.size() - 2], QString("写进度: 100%"));
        QCOMPARE(statuses.filter(QRegularExpression("^写进度: ")).size(), 58);

        sim->withBootloader([&](auto &boot) {
            const auto flash = boot.chip().flash();
            QVERIFY(FlashHolds(flash, image));
            // The rest of the last erased page is erased; pages beyond it keep their content.
            QVERIFY(std::all_of(flash.begin() + image.size(), flash.begin() + 15 * 1024,
                                [](uint8_t b) { return b == 0xFF; }));
            QVERIFY(
                std::all_of(flash.begin() + 15 * 1024, flash.begin() + 20 * 1024, [](uint8_t b) { return b == 0x00; }));
            QVERIFY(std::equal(settings.begin(), settings.end(), flash.begin() + 100 * 1024));

            std::vector<Stm32LogEntry> erases, writes;
            for (const auto &e : boot.chip().log()) {
                if (e.command == stm32::kCmdErase)
                    erases.push_back(e);
                if (e.command == stm32::kCmdWriteMemory)
                    writes.push_back(e);
            }
            QCOMPARE(erases.size(), size_t(1));
            const std::vector<uint8_t> eraseRequest = {0x0E, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                                                       0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x01};
            QCOMPARE(erases[0].payload, eraseRequest);
            QCOMPARE(writes.size(), size_t(58));
            QCOMPARE(writes.back().address, 0x08003900u);
            QVERIFY(writes.back().accepted);
        });

        // Back at the module's speed, the module runs the new program: 1.49 became 1.50.
        QCOMPARE(sim->reg(28), uint16_t(149));
        form->ComboBox1->SetItemIndex(1);
        form->SpeedButton1->click();
        QTRY_VERIFY_WITH_TIMEOUT(form->ExchangeCount >= 1, 3000);
        QCOMPARE(form->GroupBox1->title(), QString("通信参数 (固件:1.50)"));
    }

    void thirdPartyHostWritesAndVerifiesThroughTheSimulator()
    {
        SimFixture sim;
        QByteArray image(3000, 0);
        for (int i = 0; i < image.size(); ++i)
            image[i] = char(i * 13 + 1);
        const TemporaryImage file(image);
        const Stm32flashRun run = Stm32flashWriteAndVerify(file.path(), QString::fromStdString(sim->linkPath()), 115200,
                                                           60000);
        QVERIFY2(run.exitCode == 0, qPrintable(run.output));
        QVERIFY2(run.output.contains("Wrote and verified"), qPrintable(run.output));
        sim->withBootloader([&](auto &boot) { QVERIFY(FlashHolds(boot.chip().flash(), image)); });
    }

    void nackToTheSync()
    {
        SimFixture sim;
        sim->withBootloader([](auto &boot) {
            Stm32Faults f;
            f.nackAt = {stm32::kSync, 0};
            f.nackTimes = 1;
            boot.chip().setFaults(f);
        });
        startUpdate();
        QTRY_COMPARE_WITH_TIMEOUT(frm->Panel1->text(), QString("无法和设备通讯，请重新尝试"), 3000);
        QCOMPARE(frm->Engine.Core().IspState(), 1);
    }

    void silenceInTheWritesEndsTheRunAndTheNextCompletes()
    {
        constexpr int kQuickOvertimeTickMs = 500;  // the tool's are 1 s
        SimFixture sim;
        sim->withBootloader([](auto &boot) {
            Stm32Faults f;
            f.silentAfterBlocks = 10;
            boot.chip().setFaults(f);
        });
        skipLineWaits();
        startUpdate();
        // Quicker ticks of the time-out from the start of the first run; the count
        // of ticks that ends a run is the tool's.
        QVERIFY(frm->OvertimeT.isActive());
        frm->OvertimeT.setInterval(kQuickOvertimeTickMs);
        // The time-out ends the first run and starts the next at once, which completes.
        QTRY_COMPARE_WITH_TIMEOUT(frm->Panel1->text(), QString("上载完成！"), 30000);
        QCOMPARE(frm->Engine.Core().RetryCount(), uint8_t(1));
        const int failedAt = statuses.indexOf("连机失败！请检查通信线。");
        QVERIFY(failedAt > 0);
        QCOMPARE(statuses[failedAt - 1], QString("写进度: 17%"));  // silent after 10 blocks
        QCOMPARE(statuses[failedAt + 1], QString("正在查找设备。。。"));
        QCOMPARE(statuses.count("正在擦除。。。"), 2);
        sim->withBootloader([this](auto &boot) { QVERIFY(FlashHolds(boot.chip().flash(), *frm->ImageStream)); });
    }

    void mainWindowButtonOpensTheWindowOnItsPort()
    {
        form->ComboBox1->SetItemIndex(5);
        bool shown = false;
        QTimer::singleShot(0, this, [&] {
            QTRY_VERIFY(frm->isVisible());
            shown = true;
            QCOMPARE(frm->Serial_Port->currentText(), QString("COM6"));
            QCOMPARE(frm->Panel1->text(), QString("就绪..."));
            frm->close();
        });
        form->BitBtn1->click();
        QVERIFY(shown);
        QVERIFY(!frm->isVisible());
    }

    void portHeldByTheMainWindow()
    {
        SimFixture sim;
        MessageRecorder messages;
        form->ComboBox1->SetItemIndex(1);
        form->SpeedButton1->click();
        QVERIFY(form->ComDriver.IsOpen());
        startUpdate();
        const QString busy = "当前串口号 COM2 已经被占用，或其它错误 ！\r请选择其它串口，或检查串口设置是否正确。";
        QCOMPARE(messages.boxes(), (QList<std::pair<QString, QString>>{{"串口错误", busy}}));
        QVERIFY(!frm->OvertimeT.isActive());
        QVERIFY(!frm->Timer5.isActive());
        QVERIFY(statuses.isEmpty());
    }
};

QTEST_MAIN(TestFirmwareSim)
#include "tst_firmware_sim.moc"
