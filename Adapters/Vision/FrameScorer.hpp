#pragma once

#include "Core/Jobs.hpp"

#include <filesystem>
#include <optional>
#include <vector>

namespace korvel {

// Rates frames twice a second: how well a face is captured and how sharp the
// picture is.
namespace FrameScorer {
inline constexpr int64_t longEdge = 1280;
inline constexpr int64_t sampleIntervalUs = 500'000;

struct Sample {
    int64_t atUs = 0;
    std::optional<double> faceQuality;
    double sharpness = 0;
    bool operator==(const Sample&) const = default;
};

// Under the analysis gates.
std::vector<Sample> analyze(const std::filesystem::path& url, const JobContext& job);
} // namespace FrameScorer

} // namespace korvel
