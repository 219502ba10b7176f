#pragma once
// talvex-cli run as a process against the simulated module on a pty: the
// simulator with a frame log that a test reads back.
#include "sim/Simulator.h"
#include "tests/support/CliProcess.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <memory>

using talvex::sim::FaultPlan;
using talvex::sim::SimMode;
using talvex::sim::SimOptions;
using talvex::sim::Simulator;

namespace cli_harness {

inline constexpr int kSimCom = 2;

// Frames in a simulator frame log, in order, as hex: "01 03 00 00 00 20 44 12".
inline QStringList FramesIn(const QString &logPath, const QString &direction)
{
    QFile f(logPath);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    static const QRegularExpression line(R"(^\s*[\d.]+ (rx|tx) ([0-9A-F ]+?)(\s\s\(.*\))?$)");
    QStringList frames;
    for (const QByteArray &raw : f.readAll().split('\n')) {
        const QRegularExpressionMatch m = line.match(QString::fromLatin1(raw));
        if (m.hasMatch() && m.captured(1) == direction)
            frames << m.captured(2).trimmed();
    }
    return frames;
}

// The simulated module on its own thread, linked as COM2, with a frame log.
struct LoggedSim {
    QTemporaryDir dir;
    std::unique_ptr<Simulator> sim;

    explicit LoggedSim(SimMode mode = SimMode::FixedPort, bool bootloader = true, uint16_t version = 150)
    {
        QDir(dir.path()).mkpath("ports");
        SimOptions options;
        options.portDir = portDir().toStdString();
        options.stateDir = (dir.path() + "/state").toStdString();
        options.logPath = logPath().toStdString();
        options.com = kSimCom;
        options.mode = mode;
        options.bootloader = bootloader;
        options.firmwareVersion = version;
        sim = std::make_unique<Simulator>(options);
        std::string error;
        if (!sim->start(error))
            qFatal("simulator: %s", error.c_str());
    }
    ~LoggedSim() { sim->stop(); }
    Simulator *operator->() { return sim.get(); }
    QString portDir() const { return dir.path() + "/ports"; }
    QString logPath() const { return dir.path() + "/frames.log"; }
    QStringList received() const { return FramesIn(logPath(), "rx"); }
};

inline QStringList Lines(const QString &text)
{
    return text.split('\n', Qt::SkipEmptyParts);
}

inline QByteArray ReadAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline bool FlashHolds(Simulator &sim, const QByteArray &image)
{
    bool holds = false;
    sim.withBootloader([&](talvex::sim::BootloaderPersonality &boot) {
        const auto flash = boot.chip().flash();
        const auto *bytes = reinterpret_cast<const uint8_t *>(image.constData());
        holds = !image.isEmpty() && flash.size() >= size_t(image.size()) &&
                std::equal(bytes, bytes + image.size(), flash.begin());
    });
    return holds;
}

}  // namespace cli_harness

using namespace cli_harness;
