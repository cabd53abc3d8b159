#include "Adapters/Methods/FrameAnalysers.hpp"

namespace korvel {

FrameAnalysers FrameAnalysers::real() {
    FrameAnalysers a;
    a.scenes = &SceneAnalyzer::analyze;
    a.color = &ColorAnalyzer::measure;
    a.faces = &FaceAnalyzer::analyze;
    a.frameScores = &FrameScorer::analyze;
    a.textRegions = &TextRegionFinder::analyze;
    return a;
}

} // namespace korvel
