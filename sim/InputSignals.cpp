#include "sim/InputSignals.h"

#include "sim/ModuleRegisters.h"

#include <algorithm>
#include <cmath>

namespace talvex::sim {
namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr int kNoiseSpan = 9;  // noise of -4 ... +4 counts
constexpr double kMid = 2048.0;

enum class Shape { Sine, Triangle, Sawtooth, Smooth, Steps };

struct Wave {
    Shape shape;
    double periodMs;
    double centre;
    double amplitude;
};

// Slow periods, centres and amplitudes chosen so no two channels look alike.
constexpr Wave kWaves[Reg::AD_Count] = {
    {Shape::Sine, 20000, kMid, 1800}, {Shape::Triangle, 15000, 1500, 1200}, {Shape::Sawtooth, 12000, 2500, 1400},
    {Shape::Sine, 31000, 1000, 600},  {Shape::Smooth, 24000, 3000, 900},    {Shape::Steps, 16000, kMid, 1500},
    {Shape::Sine, 7000, 3500, 300},   {Shape::Triangle, 40000, 600, 500},
};

double Unit(Shape shape, double phase)  // phase 0 ... 1, result -1 ... 1
{
    switch (shape) {
    case Shape::Sine:
        return std::sin(kTwoPi * phase);
    case Shape::Triangle:
        return phase < 0.5 ? 4 * phase - 1 : 3 - 4 * phase;
    case Shape::Sawtooth:
        return 2 * phase - 1;
    case Shape::Smooth:
        return 0.6 * std::sin(kTwoPi * phase) + 0.4 * std::sin(3 * kTwoPi * phase);
    case Shape::Steps:
        return std::floor(phase * 4) / 1.5 - 1;
    }
    return 0;
}

}  // namespace

int InputSignals::noise()
{
    // xorshift32: cheap, and the same sequence on every run.
    noiseState_ ^= noiseState_ << 13;
    noiseState_ ^= noiseState_ >> 17;
    noiseState_ ^= noiseState_ << 5;
    return static_cast<int>(noiseState_ % kNoiseSpan) - kNoiseSpan / 2;
}

uint16_t InputSignals::convert(int channel, uint64_t ms)
{
    const Wave &w = kWaves[static_cast<size_t>(channel) % Reg::AD_Count];
    const double phase = std::fmod(static_cast<double>(ms), w.periodMs) / w.periodMs;
    const long value = std::lround(w.centre + w.amplitude * Unit(w.shape, phase)) + noise();
    return static_cast<uint16_t>(std::clamp<long>(value, 0, kAdcMax));
}

}  // namespace talvex::sim
