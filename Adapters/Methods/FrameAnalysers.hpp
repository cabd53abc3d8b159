#pragma once

#include "Adapters/Vision/ColorAnalyzer.hpp"
#include "Adapters/Vision/FaceAnalyzer.hpp"
#include "Adapters/Vision/FrameScorer.hpp"
#include "Adapters/Vision/SceneAnalyzer.hpp"
#include "Adapters/Vision/SceneScanMemo.hpp"
#include "Adapters/Vision/TextRegionFinder.hpp"

#include <filesystem>
#include <functional>
#include <vector>

namespace korvel {

// The frame analysers the analysis service runs; each enters the analysis
// gates itself. Tests hand in their own.
struct FrameAnalysers {
    using Path = std::filesystem::path;
    std::function<SceneAnalyzer::Result(const Path&, const JobContext&, SceneScanMemo&)> scenes;
    std::function<FaceAnalyzer::Result(const Path&, const JobContext&, SceneScanMemo&)> faces;
    std::function<ColorAnalyzer::Measured(const Path&, const JobContext&, SceneScanMemo&)> color;
    std::function<std::vector<FrameScorer::Sample>(const Path&, const JobContext&)> frameScores;
    std::function<std::vector<TextRegionFinder::Sample>(const Path&, const JobContext&)> textRegions;

    static FrameAnalysers real();
};

} // namespace korvel
