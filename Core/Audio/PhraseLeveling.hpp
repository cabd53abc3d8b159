#pragma once

#include <cstdint>
#include <vector>

namespace korvel {

struct MeasuredPhrase {
    int64_t startUs = 0;
    int64_t endUs = 0;
    double lufs = 0;

    bool operator==(const MeasuredPhrase&) const = default;
};

// Per phrase, the gain that would bring it to a target loudness; phrases too
// short to measure borrow a neighbour's.
namespace PhraseLeveling {
inline constexpr int64_t minimumPhraseUs = 400'000;
inline constexpr double maximumGainDb = 24;

std::vector<double> gains(const std::vector<MeasuredPhrase>& phrases, double targetLufs);
} // namespace PhraseLeveling

} // namespace korvel
