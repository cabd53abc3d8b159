#pragma once

#include <cstdint>
#include <vector>

namespace korvel {

// How many frames one signal lags another, by cross-correlation in the
// frequency domain over the loudest 8 s.
namespace DelayEstimator {

struct Result {
    int64_t lagFrames = 0;
    // Normalised correlation at that lag, at most 1; 0 when nothing could be measured.
    double score = 0;

    bool operator==(const Result&) const = default;
};

Result estimate(const std::vector<float>& reference, const std::vector<float>& delayed, int64_t maximumLagFrames);

} // namespace DelayEstimator

} // namespace korvel
