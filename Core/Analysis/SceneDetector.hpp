#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace korvel {

// A stretch of video: a scene, or a take inside one. Start inclusive, end
// exclusive; the score tells how strong the cut that opened it was.
struct SceneSpan {
    int64_t startUs = 0;
    int64_t endUs = 0;
    double score = 1;

    bool operator==(const SceneSpan&) const = default;
};

// Cuts a video into scenes from the picture distances between consecutive
// frames, with a threshold set per video from their spread.
namespace SceneDetector {
inline constexpr double medianDeviations = 12;
inline constexpr double lowestThreshold = 0.08;
inline constexpr int64_t shortestSceneUs = 250'000;

// Median plus twelve median absolute deviations, at least 0.08.
double threshold(std::span<const double> distances);
// Contiguous from 0 to the duration; the first frame's distance is not read.
std::vector<SceneSpan> scenes(std::span<const double> distances, std::span<const int64_t> framePtsUs, int64_t durationUs);
} // namespace SceneDetector

} // namespace korvel
