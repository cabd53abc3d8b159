#pragma once

#include "Core/Analysis/FaceTracker.hpp"
#include "Core/Jobs.hpp"

#include <filesystem>
#include <vector>

namespace korvel {

class SceneScanMemo;

// The faces of a video five times a second, and one smoothed track of the
// main face per scene.
namespace FaceAnalyzer {
inline constexpr int64_t longEdge = 1280;
inline constexpr int64_t sampleIntervalUs = 200'000;

struct Result {
    std::vector<FaceSample> samples;
    std::vector<FaceTrackSpan> tracks;
    int64_t durationUs = 0;
    bool operator==(const Result&) const = default;
};

// Under the analysis gates.
Result analyze(const std::filesystem::path& url, const JobContext& job, SceneScanMemo& memo);
} // namespace FaceAnalyzer

} // namespace korvel
