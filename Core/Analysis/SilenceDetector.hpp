#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace korvel {

struct SilenceRun {
    int64_t startUs = 0;
    int64_t endUs = 0;
    double meanDb = -120;

    bool operator==(const SilenceRun&) const = default;
};

struct SilenceMeasurementValues {
    int64_t windowUs = 10'000;
    double floorDb = -120;
    double voiceDb = -120;
    double thresholdDb = -90;
    bool lowSeparation = true;

    bool operator==(const SilenceMeasurementValues&) const = default;
};

// A half-open stretch of sound between pauses, in microseconds.
struct SpeechRegion {
    int64_t startUs = 0;
    int64_t endUs = 0;

    bool operator==(const SpeechRegion&) const = default;
};

// Silent stretches of a sound, from the distribution of its 10 ms levels.
// Levels are 10·log10 of the mean square, never below -120 dB.
namespace SilenceDetector {
inline constexpr int64_t windowUs = 10'000;
inline constexpr int windowFrames = 480;

struct Result {
    SilenceMeasurementValues measurement;
    std::vector<SilenceRun> runs;

    bool operator==(const Result&) const = default;
};

// Mono samples at 48 kHz.
Result analyze(std::span<const float> samples);
std::vector<double> windowLevels(std::span<const float> samples, int windowFrames);
// The level of one window, as windowLevels computes it.
double windowLevel(std::span<const float> window);
// Interpolated percentile of an ascending list; -120 for an empty one.
double percentile(std::span<const double> ascending, double p);
Result analyze(std::span<const double> levels, int64_t durationUs);
std::vector<SpeechRegion> speechRegions(std::span<const SilenceRun> runs, int64_t durationUs, int64_t minPauseUs);
} // namespace SilenceDetector

} // namespace korvel
