#pragma once

#include "Adapters/Vision/OpenedVideo.hpp"
#include "Core/Analysis/SceneDetector.hpp"
#include "Core/Jobs.hpp"

#include <filesystem>
#include <vector>

namespace korvel {

class SceneScanMemo;

// The scene pass: every frame at 32 by 18, its distance from the one before
// and its colour shift, handed to the scene and colour-step detectors.
namespace SceneAnalyzer {
inline constexpr int64_t width = 32;
inline constexpr int64_t height = 18;

struct Result {
    std::vector<SceneSpan> spans;
    int64_t durationUs = 0;
    std::vector<int64_t> colorSteps;

    bool operator==(const Result&) const = default;
};

// Under the analysis gates: opens the file, then scan() with the whole job.
Result analyze(const std::filesystem::path& url, const JobContext& job, SceneScanMemo& memo);
// The memo's result for the opened file, or a new pass kept in it; a pass
// hands the frames `beside` wants to it at its size as it goes.
Result scan(const OpenedVideo& video, const JobContext& job, SceneScanMemo& memo,
            const OpenedVideo::Beside* beside = nullptr);
// One full pass.
Result readFrames(const OpenedVideo& video, const JobContext& job, const OpenedVideo::Beside* beside = nullptr);
// Mean absolute byte difference over 255; 0 for frames of different sizes.
double distance(std::span<const uint8_t> previous, std::span<const uint8_t> current);
} // namespace SceneAnalyzer

} // namespace korvel
