// Times a whole update of the carried image through the simulated module in
// realistic mode (every byte at line speed, the chip's erase and programming
// times), from the sync byte to the last ACK, and the same image written by
// stm32flash through the same simulator; prints both against the lower bound.
#include "Firmware.h"
#include "FirmwareImage.h"
#include "PortNames.h"
#include "Simulator.h"
#include "Stm32Bootloader.h"
#include "Stm32Timing.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {
constexpr uint32_t kBaud = 115200;
constexpr int kBlock = 256;
constexpr int kPage = 1024;

// Characters on the line for the tool's sequence, both directions.
size_t LineChars(size_t image)
{
    const size_t blocks = (image + kBlock - 1) / kBlock;
    const size_t pages = image / kPage + 1;
    size_t chars = 1 + 1;            // sync, ACK
    chars += 2 + 15;                 // Get
    chars += 2 + 5;                  // Get ID
    chars += 2 + 1 + 5 + 1 + 2 + 5;  // Read Memory of 4 bytes
    chars += 2 + 1 + (pages + 2) + 1;  // Erase with its page list
    chars += blocks * (2 + 1 + 5 + 1 + 2 + 1) + image;  // Write Memory per block
    return chars;
}
} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    talvex::sim::SimOptions options;
    options.portDir = dir.path().toStdString();
    options.stateDir = (dir.path() + "/state").toStdString();
    options.com = 1;
    options.realisticBoot = true;
    talvex::sim::Simulator sim(options);
    std::string error;
    if (!sim.start(error)) {
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        return 1;
    }
    setenv(kPortDirEnv, options.portDir.c_str(), 1);

    if (!LoadFirmwareImage())
        return 1;
    const QByteArray image = *ImageStream;
    QTemporaryDir imageDir;
    const QString imagePath = imageDir.path() + "/image.bin";
    QFile f(imagePath);
    if (!f.open(QIODevice::WriteOnly) || f.write(image) != image.size())
        return 1;
    f.close();

    // The tool.
    TFirmwareFrm frm;
    QElapsedTimer clock;
    qint64 started = -1;
    qint64 finished = -1;
    QObject::connect(&frm, &TFirmwareFrm::statusChanged, [&](const QString &s) {
        if (s == QStringLiteral("正在查找设备。。。"))
            started = clock.elapsed();  // the sync byte has just gone out
        if (s == QStringLiteral("上载完成！")) {
            finished = clock.elapsed();
            app.quit();
        }
    });
    clock.start();
    frm.Serial_Port->SetItemIndex(0);
    QTimer::singleShot(0, &frm, [&] { frm.BitBtn1Click(); });
    QTimer::singleShot(60000, &app, [&] { app.quit(); });
    app.exec();
    if (finished < 0) {
        std::fprintf(stderr, "the tool's update did not complete\n");
        return 1;
    }
    // The finish holds DTR for 300 ms before it reports; that is after the last ACK.
    const double toolMs = double(finished - started) - 300.0;

    // stm32flash, the same image, no verify, through the same simulator.
    QProcess flash;
    QElapsedTimer t;
    t.start();
    flash.start("stm32flash", {"-b", QString::number(kBaud), "-m", "8n1", "-w", imagePath,
                               QString::fromStdString(sim.linkPath())});
    if (!flash.waitForFinished(120000) || flash.exitCode() != 0) {
        std::fprintf(stderr, "stm32flash failed:\n%s\n", flash.readAll().constData());
        return 1;
    }
    const double flashMs = double(t.elapsed());
    sim.stop();

    const double wireMs = double(stm32::WireTime(LineChars(size_t(image.size())), kBaud).count()) / 1000.0;
    const double chipMs =
        double((Stm32Bootloader::eraseTime(size_t(image.size() / kPage + 1)) +
                Stm32Bootloader::programTime(size_t(image.size()))).count()) / 1000.0;
    const double boundMs = wireMs + chipMs;
    std::printf("image %d bytes at %u baud 8E1 (realistic simulator)\n", int(image.size()), kBaud);
    std::printf("  tool, sync to last ACK:   %8.0f ms\n", toolMs);
    std::printf("  stm32flash -w (no verify): %7.0f ms (whole process)\n", flashMs);
    std::printf("  lower bound (line %.0f ms + chip %.0f ms): %.0f ms\n", wireMs, chipMs, boundMs);
    std::printf("  tool / stm32flash: %.2f (goal <= 1.25)\n", toolMs / flashMs);
    std::printf("  tool / lower bound: %.2f, stm32flash / lower bound: %.2f\n", toolMs / boundMs, flashMs / boundMs);
    return 0;
}
