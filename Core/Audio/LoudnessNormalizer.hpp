#pragma once

#include "Core/Audio/PCMAudio.hpp"
#include "Core/Audio/PCMSource.hpp"

namespace korvel {

// Gain to a loudness target under a true-peak ceiling; the limiter lowers the
// loudness again, so the gain is corrected by the remaining error a few times.
namespace LoudnessNormalizer {
inline constexpr double toleranceLu = 0.2;

struct Result {
    PCMAudio buffer;
    double integratedLufs = 0;
    double truePeakDb = 0;
    // The gain that produced the buffer, before limiting.
    double gainDb = 0;
    double reductionDb = 0;
    bool reached = false;

    bool operator==(const Result&) const = default;
};

Result normalize(const PCMAudio& audio, double targetLufs, double ceilingDb);

// The same steps over sound read a block at a time; `buffer` of the result
// stays empty and the normalised sound is `sound`.
struct Streamed {
    PCMSources::Source sound;
    Result numbers;
};
Streamed normalize(const PCMSources::Source& audio, double targetLufs, double ceilingDb, const PCMStores& stores);
} // namespace LoudnessNormalizer

} // namespace korvel
