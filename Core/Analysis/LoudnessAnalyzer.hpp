#pragma once

#include "Core/Audio/PCMAudio.hpp"

#include <cstdint>
#include <vector>

namespace korvel {

// The level spoken phrases are brought to, and its true-peak ceiling.
namespace VoiceLevel {
inline constexpr double targetLufs = -16.0;
inline constexpr double truePeakDb = -1.0;
} // namespace VoiceLevel

struct PhraseLoudness {
    int64_t startUs = 0;
    int64_t endUs = 0;
    double lufs = -70;
    double gainDb = 0;

    bool operator==(const PhraseLoudness&) const = default;
};

struct LoudnessReading {
    double integratedLufs = -70;
    double truePeakDb = -120;
    std::vector<PhraseLoudness> phrases;

    bool operator==(const LoudnessReading&) const = default;
};

// Loudness of a spoken sound as the editor needs it: integrated, true peak,
// and each phrase between pauses of 300 ms with its gain toward the voice target.
namespace LoudnessAnalyzer {
inline constexpr int64_t phrasePauseUs = 300'000;

LoudnessReading analyze(const PCMAudio& audio);
} // namespace LoudnessAnalyzer

} // namespace korvel
