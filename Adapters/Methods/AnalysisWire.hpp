#pragma once

#include "Adapters/Vision/ColorAnalyzer.hpp"
#include "Adapters/Vision/FaceAnalyzer.hpp"
#include "Adapters/Vision/FrameScorer.hpp"
#include "Adapters/Vision/TextRegionFinder.hpp"
#include "Core/Analysis/SceneDetector.hpp"
#include "Core/Wire/ColorStatsWire.hpp"
#include "Core/Wire/FacesWire.hpp"
#include "Core/Wire/FrameScoresWire.hpp"
#include "Core/Wire/ScenesWire.hpp"
#include "Core/Wire/TextRegionsWire.hpp"

#include <span>
#include <string>

namespace korvel {

// The result models built from what the frame analysers found.
namespace AnalysisWire {
ScenesAnalysisModel scenes(std::string assetId, std::string contentHash, std::string fingerprint,
                           std::span<const SceneSpan> spans);
FacesAnalysisModel faces(std::string assetId, std::string contentHash, std::string fingerprint,
                         const FaceAnalyzer::Result& result);
FrameScoresAnalysisModel frameScores(std::string assetId, std::string contentHash, std::string fingerprint,
                                     std::span<const FrameScorer::Sample> samples);
ColorStatsAnalysisModel colorStats(std::string assetId, std::string contentHash, std::string fingerprint,
                                   const ColorAnalyzer::Measured& measured);
// Boxes are cut to the frame before they are rounded.
TextRegionsAnalysisModel textRegions(std::string assetId, std::string contentHash, std::string fingerprint,
                                     std::span<const TextRegionFinder::Sample> found);
} // namespace AnalysisWire

} // namespace korvel
