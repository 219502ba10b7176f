#pragma once
// The update engine on the simulated chip, with the ticks and the clock handed
// in by the test, and an image of any size whose bytes differ from their neighbours.
#include "firmware/FirmwareImage.h"
#include "tests/support/UpdateEngineHarness.h"

#include <QByteArray>
#include <QList>
#include <QPair>

#include <algorithm>

namespace {

QByteArray Image(int size)
{
    QByteArray image(size, 0);
    for (int i = 0; i < size; ++i)
        image[i] = char(i * 13 + 1);
    return image;
}

struct EngineOnChip {
    Stm32Bootloader chip;
    std::vector<std::string> calls;
    TQRTCommDriver driver{nullptr, std::make_unique<ChipPort>(chip, calls)};
    TUpdateEngine engine{driver};
    Reports r;
    QList<QPair<TUpdateStage, int>> stages;
    QList<TUpdateFailure> failures;

    explicit EngineOnChip(const QByteArray &image, const TUpdateOptions &options)
    {
        r.watch(engine);
        QObject::connect(&engine, &TUpdateEngine::stageChanged, [this](TUpdateStage s, int percent) {
            stages.append({s, percent});
        });
        QObject::connect(&engine, &TUpdateEngine::runFailed, [this](const TUpdateFailure &f) { failures.append(f); });
        engine.SetImageLoader([image] { return LoadFirmwareImageBytes(image); });
        engine.SetOptions(options);
    }
    // Until the start ends or `limitMs` of the engine's clock have passed.
    void run(uint32_t limitMs = 60000)
    {
        engine.Start();
        while (r.outcomes.isEmpty() && r.now < limitMs) {
            driver.PollReceive();
            engine.Timer5Timer();
            ++r.now;
            engine.Core().TimeOut(r.now);
        }
    }
    bool sentCommand(uint8_t code) const
    {
        return std::any_of(chip.log().begin(), chip.log().end(),
                           [code](const Stm32LogEntry &e) { return e.command == code; });
    }
};

}  // namespace
