#pragma once

#include "Core/Analysis/FaceTracker.hpp"
#include "Core/Jobs.hpp"

#include <filesystem>
#include <vector>

namespace korvel {

// Where text is visible in a video: the line boxes found once a second. The
// words themselves are not kept.
namespace TextRegionFinder {
inline constexpr int64_t longEdge = 1280;
inline constexpr int64_t sampleIntervalUs = 1'000'000;

struct Region {
    NormalizedBox box;
    double confidence = 0;
    bool operator==(const Region&) const = default;
};

struct Sample {
    int64_t atUs = 0;
    std::vector<Region> regions;
    bool operator==(const Sample&) const = default;
};

// Under the analysis gates.
std::vector<Sample> analyze(const std::filesystem::path& url, const JobContext& job);
} // namespace TextRegionFinder

} // namespace korvel
