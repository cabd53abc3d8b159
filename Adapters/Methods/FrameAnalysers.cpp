#include "Adapters/Methods/FrameAnalysers.hpp"

namespace korvel {

FrameAnalysers FrameAnalysers::real() {
    FrameAnalysers a;
    a.scenes = &SceneAnalyzer::analyze;
    a.color = &ColorAnalyzer::measure;
    return a;
}

} // namespace korvel
