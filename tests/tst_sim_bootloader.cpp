// The simulated module as the chip's serial bootloader on its pty, and a third-party host writing through it.
#include "firmware/FirmwareImage.h"
#include "firmware/stm32/Stm32Protocol.h"
#include "tests/support/Bytes.h"
#include "tests/support/CpuTime.h"
#include "tests/support/SimFixture.h"
#include "tests/support/Stm32flashHost.h"

#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using talvex::sim::SimOptions;

namespace {

constexpr uint8_t A = stm32::kAck;
constexpr uint32_t kFlashBase = 0x08000000;
// Content of the flash before an update: old firmware below, a settings page far above.
struct FlashBefore {
    uint8_t oldFirmware;
    uint8_t settings;
    uint32_t settingsPage;
};
constexpr FlashBefore kBefore{0x00, 0x5E, 100};
// Longest a whole stm32flash run may take in these tests.
constexpr int kHostRunMs = 20000;
// How long a test waits for an answer on the line.
constexpr int kAnswerMs = 2000;
// A host's reset into the bootloader, as the simulator reads it from the line.
constexpr int kResetPauseMs = 900;

// The host's end of the line, opened like a serial port.
class Port {
public:
    explicit Port(const std::string &path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
        termios t{};
        if (fd_ >= 0 && tcgetattr(fd_, &t) == 0) {
            cfmakeraw(&t);
            cfsetspeed(&t, B115200);
            tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~Port() { shut(); }
    void shut()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }
    bool ok() const { return fd_ >= 0; }
    void send(const Bytes &b) { QCOMPARE(write(fd_, b.data(), b.size()), ssize_t(b.size())); }
    // Waits until `count` bytes are in or the time is up.
    Bytes receive(size_t count, int timeoutMs = kAnswerMs)
    {
        Bytes out;
        QElapsedTimer t;
        t.start();
        while (out.size() < count && t.elapsed() < timeoutMs) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, int(timeoutMs - t.elapsed())) <= 0)
                break;
            uint8_t buf[512];
            const ssize_t n = read(fd_, buf, sizeof buf);
            if (n > 0)
                out.insert(out.end(), buf, buf + n);
        }
        return out;
    }

private:
    int fd_;
};

// Runs `use` on the simulator's chip.
template <typename F>
void WithChip(SimFixture &sim, F use)
{
    sim->withBootloader([&](talvex::sim::BootloaderPersonality &b) { use(b.chip()); });
}

Bytes Flash(SimFixture &sim)
{
    Bytes f;
    WithChip(sim, [&](Stm32Bootloader &e) { f.assign(e.flash().begin(), e.flash().end()); });
    return f;
}

void Preload(SimFixture &sim)
{
    WithChip(sim, [](Stm32Bootloader &e) {
        e.preloadFlash(kFlashBase, Bytes(32 * 1024, kBefore.oldFirmware));
        e.preloadFlash(kFlashBase + kBefore.settingsPage * 1024, Bytes(1024, kBefore.settings));
    });
}

// Writes and verifies `image` with stm32flash and checks the flash afterwards.
void WriteWithStm32flash(const Bytes &image)
{
    SimFixture sim;
    Preload(sim);
    const TemporaryImage file(image);
    const Stm32flashRun run = Stm32flashWriteAndVerify(file.path(), QString::fromStdString(sim->linkPath()), 115200,
                                                       kHostRunMs);
    QVERIFY2(run.exitCode == 0, qPrintable(run.output));

    const Bytes flash = Flash(sim);
    QCOMPARE(Bytes(flash.begin(), flash.begin() + image.size()), image);
    // Every page the image touches was erased first: the rest of its last page is blank.
    const size_t touched = (image.size() + 1023) / 1024 * 1024;
    QCOMPARE(Bytes(flash.begin() + image.size(), flash.begin() + touched), Bytes(touched - image.size(), 0xFF));
    // The old firmware beyond it and the settings page stay.
    QCOMPARE(Bytes(flash.begin() + touched, flash.begin() + 32 * 1024),
             Bytes(32 * 1024 - touched, kBefore.oldFirmware));
    QCOMPARE(Bytes(flash.begin() + kBefore.settingsPage * 1024, flash.begin() + (kBefore.settingsPage + 1) * 1024),
             Bytes(1024, kBefore.settings));

    // The host did verify: it read back every written byte.
    size_t written = 0;
    size_t readBack = 0;
    WithChip(sim, [&](Stm32Bootloader &e) {
        for (const Stm32LogEntry &l : e.log()) {
            if (!l.accepted || l.payload.size() < 7)
                continue;
            if (l.command == stm32::kCmdWriteMemory && l.address >= kFlashBase)
                written += size_t(l.payload[5]) + 1;
            if (l.command == stm32::kCmdReadMemory && l.address >= kFlashBase && l.address < 0x08020000)
                readBack += size_t(l.payload[5]) + 1;
        }
    });
    QVERIFY(written >= image.size());
    QVERIFY2(readBack >= image.size(), qPrintable(QString("read back %1 of %2").arg(readBack).arg(image.size())));
}

}  // namespace

class TestSimBootloader : public QObject {
    Q_OBJECT

private slots:
    void answersOnTheLine()
    {
        SimFixture sim;
        Port port(sim->linkPath());
        QVERIFY(port.ok());
        port.send({stm32::kSync});
        QCOMPARE(port.receive(1), Bytes{A});
        port.send({stm32::kCmdGet, 0xFF});
        const Bytes get = port.receive(15);
        QCOMPARE(get.size(), size_t(15));
        QCOMPARE(get[2], stm32::kBootloaderVersion);
        port.send({0x11, 0xEE, 0x1F, 0xFF, 0xF7, 0xE0, 0xF7, 0x03, 0xFC});
        QCOMPARE(port.receive(7), (Bytes{A, A, A, 0x80, 0x00, 0xFF, 0xFF}));
    }

    // Realistic pacing takes at least the chip's erase time and the wire time.
    void realisticModeTakesTheChipTime()
    {
        SimOptions o;
        o.realisticBoot = true;
        SimFixture sim(o);
        Port port(sim->linkPath());
        port.send({stm32::kSync});
        QCOMPARE(port.receive(1), Bytes{A});
        QElapsedTimer t;
        t.start();
        port.send({stm32::kCmdErase, 0xBC, 0x0E, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0x01});
        QCOMPARE(port.receive(2), (Bytes{A, A}));
        QVERIFY2(t.elapsed() >= 15 * 20, qPrintable(QString::number(t.elapsed())));
    }

    // A host that closes the port and comes back after its reset pause finds the
    // chip afresh, even when it left it in the middle of a command; meanwhile
    // the simulator waits calmly.
    void hostComingBackFindsTheChipAfresh()
    {
        SimFixture sim;
        {
            Port port(sim->linkPath());
            port.send({stm32::kSync});
            QCOMPARE(port.receive(1), Bytes{A});
            port.send({stm32::kCmdReadMemory});  // the complement never comes
        }
        const double before = ProcessCpuSeconds();
        QTest::qSleep(kResetPauseMs);
        const double used = ProcessCpuSeconds() - before;
        QVERIFY2(used < 0.1, qPrintable(QString("%1 s of CPU with the port closed").arg(used)));
        Port again(sim->linkPath());
        // Without the reset this sync would complete the read command, and be refused.
        again.send({stm32::kSync});
        QCOMPARE(again.receive(1), Bytes{A});
    }

    void faultsReachTheLine()
    {
        SimFixture sim;
        Stm32Faults f;
        f.unansweredSyncs = 1;
        WithChip(sim, [&](Stm32Bootloader &e) { e.setFaults(f); });
        Port port(sim->linkPath());
        port.send({stm32::kSync});
        QCOMPARE(port.receive(1, 300), Bytes{});
        port.send({stm32::kSync});
        QCOMPARE(port.receive(1), Bytes{A});
    }

    void stm32flashWritesTheCarriedImage()
    {
        const std::optional<QByteArray> carried = LoadFirmwareImage();
        QVERIFY(carried);
        WriteWithStm32flash(Bytes(carried->begin(), carried->end()));
    }

    // 1,001 bytes: the host pads the last block to whole words itself.
    void stm32flashWritesAnOddSizedImage()
    {
        Bytes image(1001);
        for (size_t i = 0; i < image.size(); ++i)
            image[i] = uint8_t(i * 7 + 3);
        WriteWithStm32flash(image);
    }

    // A Go hands the chip to the program: the module runs again on its own speed.
    void stm32flashStartsTheProgram()
    {
        SimFixture sim;
        const Stm32flashRun run = RunStm32flash(
            {"-b", "115200", "-m", "8n1", "-g", "0x08000000", QString::fromStdString(sim->linkPath())}, kHostRunMs);
        QVERIFY2(run.exitCode == 0, qPrintable(run.output));
        // stm32flash's own report of what it found.
        QVERIFY2(run.output.contains("0x0410"), qPrintable(run.output));
        bool went = false;
        WithChip(sim, [&](Stm32Bootloader &e) {
            for (const Stm32LogEntry &l : e.log())
                went = went || (l.command == stm32::kCmdGo && l.address == kFlashBase && l.accepted);
        });
        QVERIFY(went);
    }
};

QTEST_GUILESS_MAIN(TestSimBootloader)
#include "tst_sim_bootloader.moc"
