// A whole update of the carried image through the simulated module in realistic
// mode (every byte at line speed, the chip's erase and programming times), by this
// tool and by stm32flash -w, several runs each. Both are timed the same way, by the
// simulator's own frame log: from the sync byte it received to the last write ACK
// it sent. The simulator runs as a process of its own, so each host has its
// process to itself, as it would on the bench. Prints the medians and, last, the
// ratios tool / stm32flash and tool / bound (line time at 11 bits a character
// plus the chip's times). Then the tool's update through a model of a USB
// adapter's latency timer, at 16 ms (the usual default) and at 1 ms (what a
// port that asks for low latency gets), one run each.
//
// Then the same for a write with read-back: talvex-cli flash (which verifies)
// against stm32flash -w -v, timed from the sync byte to the chip's answer to the
// last command. Last, the whole wall time of each, process start to end, with
// its boot entry and restart through DTR and RTS: talvex-cli flash against
// stm32flash -i 'dtr&rts,-dtr:dtr,-rts,-dtr' -w -v (both with a shim that gives
// the pty modem lines, modem_lines_shim.cpp).
//
//   bench_update [--runs N] [--log-dir DIR]   (DIR keeps the simulator's frame logs)
#include "app/StartOptions.h"
#include "bench/BenchSupport.h"
#include "firmware/FirmwareImage.h"
#include "firmware/stm32/Stm32Protocol.h"
#include "serial/LineFormat.h"
#include "serial/PortNames.h"
#include "sim/bootloader/Stm32Bootloader.h"
#include "sim/bootloader/Stm32Timing.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Stm32flashHost.h"
#include "ui/Firmware.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using bench::Median;

// The update's line, and the bootloader's block and erase unit.
const uint32_t kBaud = kBaudTable[kBootloaderLine.speed];
constexpr size_t kBlock = stm32::kMaxTransferBytes;
constexpr size_t kPage = stm32::kPageBytes;

constexpr int kDefaultRuns = 7;
// The latency timers of the adapter models, in ms.
constexpr int kAdapterTimersMs[] = {16, 1};
constexpr int kRunTimeoutMs = 60000;
constexpr int kSimStartTimeoutMs = 5000;
constexpr int kSimStopTimeoutMs = 5000;

// Goals of the comparison.
constexpr double kGoalVsStm32flash = 1.00;
constexpr double kGoalVsBound = 1.05;

// Characters on the line for the tool's sequence, both directions.
size_t LineChars(size_t image)
{
    const size_t blocks = (image + kBlock - 1) / kBlock;
    const size_t pages = image / kPage + 1;
    size_t chars = 1 + 1;                               // sync, ACK
    chars += 2 + 15;                                    // Get
    chars += 2 + 5;                                     // Get ID
    chars += 2 + 1 + 5 + 1 + 2 + 5;                     // Read Memory of 4 bytes
    chars += 2 + 1 + (pages + 2) + 1;                   // Erase with its page list
    chars += blocks * (2 + 1 + 5 + 1 + 2 + 1) + image;  // Write Memory per block
    return chars;
}

struct Frame {
    double ms;
    bool rx;
    std::vector<uint8_t> bytes;
};

// The frame log: "   1234.567 rx 7F" per frame; notes ("--") are skipped.
std::vector<Frame> ReadFrameLog(const std::string &path)
{
    std::vector<Frame> frames;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        Frame f;
        std::string direction;
        if (!(words >> f.ms >> direction) || (direction != "rx" && direction != "tx"))
            continue;
        f.rx = direction == "rx";
        std::string hex;
        while (words >> hex && hex.size() == 2 && std::isxdigit(uint8_t(hex[0])))
            f.bytes.push_back(uint8_t(std::stoul(hex, nullptr, 16)));
        frames.push_back(std::move(f));
    }
    return frames;
}

// From the first sync byte the chip received to the last ACK it sent, in ms.
std::optional<double> SyncToLastAck(const std::string &logPath)
{
    const std::vector<Frame> frames = ReadFrameLog(logPath);
    std::optional<double> sync;
    std::optional<double> lastAck;
    for (const Frame &f : frames) {
        if (f.rx && !sync && !f.bytes.empty() && f.bytes.front() == stm32::kSync)
            sync = f.ms;
        if (!f.rx && sync && f.bytes == std::vector<uint8_t>{stm32::kAck})
            lastAck = f.ms;
    }
    if (!sync || !lastAck)
        return std::nullopt;
    return *lastAck - *sync;
}

// From the first sync byte the chip received to its last answer (an ACK, or the
// data of a read), in ms.
std::optional<double> SyncToLastAnswer(const std::string &logPath)
{
    std::optional<double> sync;
    std::optional<double> last;
    for (const Frame &f : ReadFrameLog(logPath)) {
        if (f.rx && !sync && !f.bytes.empty() && f.bytes.front() == stm32::kSync)
            sync = f.ms;
        if (!f.rx && sync && !f.bytes.empty())
            last = f.ms;
    }
    if (!sync || !last)
        return std::nullopt;
    return *last - *sync;
}

// The simulated module as a process of its own: the host under test then shares
// its process with nothing, whichever host it is.
struct SimProcess {
    QTemporaryDir dir;
    QProcess process;
    std::string link;
    ~SimProcess()
    {
        process.terminate();
        process.waitForFinished(kSimStopTimeoutMs);
    }
    const std::string &linkPath() const { return link; }
};

std::unique_ptr<SimProcess> StartSimProcess(const std::string &log, const QStringList &extra = {})
{
    auto sim = std::make_unique<SimProcess>();
    const QString portDir = sim->dir.path() + "/ports";
    sim->process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim->process.setStandardOutputFile(QProcess::nullDevice());
    EndWithParent(sim->process);
    sim->process.start(QStringLiteral(TALVEX_SIM_EXE),
                       QStringList{"--port-dir", portDir, "--com", "1", "--state-dir", sim->dir.path() + "/state",
                                   "--realistic", "--log", QString::fromStdString(log)} +
                           extra);
    QElapsedTimer waited;
    waited.start();
    while (!QFileInfo::exists(portDir + "/COM1") && waited.elapsed() < kSimStartTimeoutMs)
        QThread::msleep(10);
    if (!QFileInfo::exists(portDir + "/COM1")) {
        std::fprintf(stderr, "the simulated module did not come up\n");
        return nullptr;
    }
    sim->link = (portDir + "/COM1").toStdString();
    qputenv(kPortDirEnv, portDir.toLocal8Bit());
    return sim;
}

// Every run gets a fresh simulated module and a frame log of its own, named here.
struct Bench {
    QTemporaryDir dir;
    QString logDir;  // where the frame logs go; the temporary folder when empty
    int run = 0;

    std::string logPath(const char *who)
    {
        const QString folder = logDir.isEmpty() ? dir.path() : logDir;
        return (folder + "/" + who + "-" + QString::number(++run) + ".log").toStdString();
    }
};

std::optional<double> RunTool(Bench &bench, QApplication &app, const QStringList &simArgs = {})
{
    const std::string log = bench.logPath("tool");
    auto sim = StartSimProcess(log, simArgs);
    if (!sim)
        return std::nullopt;
    bool done = false;
    TFirmwareFrm frm;
    QObject::connect(&frm.Engine, &TUpdateEngine::finished, &app, [&](TUpdateOutcome outcome) {
        done = outcome == TUpdateOutcome::Done;
        app.quit();
    });
    frm.Serial_Port->SetItemIndex(0);
    QTimer::singleShot(0, &frm, [&] { frm.BitBtn1Click(); });
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &app, &QApplication::quit);
    timeout.start(kRunTimeoutMs);
    app.exec();
    sim.reset();
    if (!done) {
        std::fprintf(stderr, "the tool's update did not complete (log %s)\n", log.c_str());
        return std::nullopt;
    }
    return SyncToLastAck(log);
}

// talvex-cli flash of the image, with its read-back, as a line runs it.
std::optional<double> RunCliFlash(Bench &bench, const QString &imagePath)
{
    const std::string log = bench.logPath("cli");
    auto sim = StartSimProcess(log);
    if (!sim)
        return std::nullopt;
    QProcess cli;
    cli.setProcessChannelMode(QProcess::MergedChannels);
    cli.start(QStringLiteral(TALVEX_CLI_EXE), {"-p", "COM1", "-q", "flash", "--image", imagePath});
    const bool ended = cli.waitForFinished(kRunTimeoutMs);
    sim.reset();
    if (!ended || cli.exitStatus() != QProcess::NormalExit || cli.exitCode() != 0) {
        std::fprintf(stderr, "talvex-cli flash failed:\n%s\n", cli.readAll().constData());
        return std::nullopt;
    }
    return SyncToLastAnswer(log);
}

std::optional<double> TimeStm32flash(Bench &bench, const QString &imagePath, bool verify)
{
    const std::string log = bench.logPath(verify ? "stm32flash-v" : "stm32flash");
    auto sim = StartSimProcess(log);
    if (!sim)
        return std::nullopt;
    // A pty cannot keep the parity flag that stm32flash reads back; the bytes are the same.
    QStringList args{"-b", QString::number(kBaud), "-m", "8n1", "-w", imagePath};
    if (verify)
        args << "-v";
    args << QString::fromStdString(sim->linkPath());
    const Stm32flashRun flash = RunStm32flash(args, kRunTimeoutMs);
    sim.reset();
    if (flash.exitCode != 0) {
        std::fprintf(stderr, "stm32flash failed:\n%s\n", qPrintable(flash.output));
        return std::nullopt;
    }
    return verify ? SyncToLastAnswer(log) : SyncToLastAck(log);
}

// The stm32flash line sequence that matches the tool's: reset with BOOT0 high,
// reset released; at the end reset, BOOT0 low, reset released.
const char kStm32flashSequence[] = "dtr&rts,-dtr:dtr,-rts,-dtr";

// A whole run of `program`, from its start to its end, in ms; the pty given
// modem lines through the shim.
std::optional<double> WallTime(const QString &program, const QStringList &args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LD_PRELOAD", QStringLiteral(MODEM_LINES_SHIM));
    p.setProcessEnvironment(env);
    QElapsedTimer t;
    t.start();
    p.start(program, args);
    const bool ended = p.waitForFinished(kRunTimeoutMs);
    const double ms = double(t.nsecsElapsed()) / 1e6;
    if (!ended || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        std::fprintf(stderr, "%s failed:\n%s\n", qPrintable(program), p.readAll().constData());
        return std::nullopt;
    }
    return ms;
}

// talvex-cli flash with `flashArgs` on a simulated module started with `simArgs`.
std::optional<double> WallCliFlash(Bench &bench, const QString &imagePath, const QStringList &flashArgs = {},
                                   const QStringList &simArgs = {})
{
    auto sim = StartSimProcess(bench.logPath("wall-cli"), simArgs);
    if (!sim)
        return std::nullopt;
    return WallTime(QStringLiteral(TALVEX_CLI_EXE),
                    QStringList{"-p", "COM1", "-q", "flash", "--image", imagePath} + flashArgs);
}

std::optional<double> WallStm32flash(Bench &bench, const QString &imagePath)
{
    auto sim = StartSimProcess(bench.logPath("wall-stm32flash"));
    if (!sim)
        return std::nullopt;
    const QString exe = QStandardPaths::findExecutable("stm32flash");
    if (exe.isEmpty())
        return std::nullopt;
    return WallTime(exe, {"-b", QString::number(kBaud), "-m", "8n1", "-i", kStm32flashSequence, "-w", imagePath, "-v",
                          QString::fromStdString(sim->linkPath())});
}

std::string LoadAverage()
{
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

std::string Join(const std::vector<double> &v)
{
    std::string out;
    char buf[32];
    for (double x : v) {
        std::snprintf(buf, sizeof buf, "%s%.0f", out.empty() ? "" : " ", x);
        out += buf;
    }
    return out;
}

}  // namespace

int main(int argc, char *argv[])
{
    int runs = kDefaultRuns;
    QString logDir;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc && std::atoi(argv[i + 1]) > 0) {
            runs = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--log-dir") == 0 && i + 1 < argc) {
            logDir = QString::fromLocal8Bit(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: %s [--runs N] [--log-dir DIR]\n", argv[0]);
            return 2;
        }
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    PreferQtEventLoop();  // as the program starts
    QApplication app(argc, argv);

    const std::optional<QByteArray> carried = LoadFirmwareImage();
    if (!carried)
        return 1;
    const QByteArray image = *carried;
    Bench bench;
    bench.logDir = logDir;
    // The frame log appends: a kept folder must not mix the runs of two bench runs.
    if (!logDir.isEmpty())
        for (const QString &old :
             QDir(logDir).entryList({"tool-*.log", "stm32flash-*.log", "cli-*.log", "stm32flash-v-*.log"}, QDir::Files))
            QFile::remove(logDir + "/" + old);
    const TemporaryImage file(image);
    const QString imagePath = file.path();

    const std::string loadBefore = LoadAverage();
    std::vector<double> tool;
    std::vector<double> flash;
    for (int i = 0; i < runs; ++i) {
        // Alternate who goes first, so a drift in the machine's load falls on both.
        for (int k = 0; k < 2; ++k) {
            const bool toolTurn = (i + k) % 2 == 0;
            const std::optional<double> ms = toolTurn ? RunTool(bench, app) : TimeStm32flash(bench, imagePath, false);
            if (!ms) {
                std::fprintf(stderr, "no sync or no ACK in the frame log\n");
                return 1;
            }
            (toolTurn ? tool : flash).push_back(*ms);
        }
    }
    std::vector<double> cli;
    std::vector<double> flashVerify;
    for (int i = 0; i < runs; ++i) {
        for (int k = 0; k < 2; ++k) {
            const bool cliTurn = (i + k) % 2 == 0;
            const std::optional<double> ms = cliTurn ? RunCliFlash(bench, imagePath)
                                                     : TimeStm32flash(bench, imagePath, true);
            if (!ms) {
                std::fprintf(stderr, "no sync or no answer in the frame log\n");
                return 1;
            }
            (cliTurn ? cli : flashVerify).push_back(*ms);
        }
    }
    std::vector<double> wallCli;
    std::vector<double> wallFlash;
    for (int i = 0; i < runs; ++i) {
        for (int k = 0; k < 2; ++k) {
            const bool cliTurn = (i + k) % 2 == 0;
            const std::optional<double> ms = cliTurn ? WallCliFlash(bench, imagePath)
                                                     : WallStm32flash(bench, imagePath);
            if (!ms)
                return 1;
            (cliTurn ? wallCli : wallFlash).push_back(*ms);
        }
    }
    std::vector<std::pair<int, double>> throughAdapter;
    for (int timerMs : kAdapterTimersMs) {
        const std::optional<double> ms = RunTool(bench, app, {"--latency-timer", QString::number(timerMs)});
        if (!ms) {
            std::fprintf(stderr, "no sync or no ACK in the frame log\n");
            return 1;
        }
        throughAdapter.emplace_back(timerMs, *ms);
    }
    // A protected module: unprotected (all flash erased, the settings kept over
    // Modbus), flashed, verified and protected again, beside a plain flash; both
    // from the process's start to its end, DTR/RTS through the shim.
    std::vector<double> plainWall;
    std::vector<double> protectWall;
    for (int i = 0; i < runs; ++i) {
        for (int k = 0; k < 2; ++k) {
            const bool plainTurn = (i + k) % 2 == 0;
            const std::optional<double> ms = plainTurn ? WallCliFlash(bench, imagePath)
                                                       : WallCliFlash(bench, imagePath, {"--unprotect", "--protect"},
                                                                      {"--protected"});
            if (!ms)
                return 1;
            (plainTurn ? plainWall : protectWall).push_back(*ms);
        }
    }
    const std::string loadAfter = LoadAverage();

    const double wireMs = double(stm32::WireTime(LineChars(size_t(image.size())), kBaud).count()) / 1000.0;
    const double chipMs = double((Stm32Bootloader::eraseTime(size_t(image.size()) / kPage + 1) +
                                  Stm32Bootloader::programTime(size_t(image.size())))
                                     .count()) /
                          1000.0;
    const double boundMs = wireMs + chipMs;
    const double toolMs = Median(tool);
    const double flashMs = Median(flash);

    std::printf("update of the carried image, %d bytes at %u baud, realistic simulator; %d runs each\n",
                int(image.size()), kBaud, runs);
    std::printf("timed by the simulator's frame log, first sync byte received to last ACK sent\n");
    std::printf("load average before %s, after %s\n", loadBefore.c_str(), loadAfter.c_str());
    std::printf("  tool         median %6.0f ms   runs %s\n", toolMs, Join(tool).c_str());
    std::printf("  stm32flash   median %6.0f ms   runs %s\n", flashMs, Join(flash).c_str());
    std::printf("  bound               %6.0f ms   (line %.0f ms at 11 bits a character + chip %.0f ms)\n", boundMs,
                wireMs, chipMs);
    for (const auto &[timerMs, ms] : throughAdapter)
        std::printf("  tool through a USB adapter with a %2d ms latency timer  %6.0f ms (one run)\n", timerMs, ms);
    std::printf("tool / stm32flash: %.3f (goal <= %.2f)\n", toolMs / flashMs, kGoalVsStm32flash);
    std::printf("tool / bound:      %.3f (goal <= %.2f)\n", toolMs / boundMs, kGoalVsBound);
    const double cliMs = Median(cli);
    const double flashVerifyMs = Median(flashVerify);
    std::printf("write with read-back, first sync byte received to the last answer sent\n");
    std::printf("  talvex-cli flash       median %6.0f ms   runs %s\n", cliMs, Join(cli).c_str());
    std::printf("  stm32flash -w -v       median %6.0f ms   runs %s\n", flashVerifyMs, Join(flashVerify).c_str());
    std::printf("talvex-cli flash / stm32flash -w -v: %.3f (goal <= %.2f)\n", cliMs / flashVerifyMs, kGoalVsStm32flash);
    const double wallCliMs = Median(wallCli);
    const double wallFlashMs = Median(wallFlash);
    std::printf("whole wall time with boot entry and restart through DTR/RTS, process start to end\n");
    std::printf("  talvex-cli flash                     median %6.0f ms   runs %s\n", wallCliMs, Join(wallCli).c_str());
    std::printf("  stm32flash -i '%s' -w -v  median %6.0f ms   runs %s\n", kStm32flashSequence, wallFlashMs,
                Join(wallFlash).c_str());
    std::printf("talvex-cli flash / stm32flash -i: %.3f (goal <= %.2f)\n", wallCliMs / wallFlashMs, kGoalVsStm32flash);
    std::printf("a protected module, talvex-cli from process start to end (wall time)\n");
    std::printf("  flash                         median %6.0f ms   runs %s\n", Median(plainWall),
                Join(plainWall).c_str());
    std::printf("  flash --unprotect --protect   median %6.0f ms   runs %s\n", Median(protectWall),
                Join(protectWall).c_str());
    return 0;
}
