#include "Adapters/Vision/FaceAnalyzer.hpp"

#include "Adapters/Vision/AnalysisGates.hpp"
#include "Adapters/Vision/FaceDetector.hpp"
#include "Adapters/Vision/SceneScanMemo.hpp"
#include "Core/Analysis/SampleGate.hpp"

#include <algorithm>

namespace korvel::FaceAnalyzer {

Result analyze(const std::filesystem::path& url, const JobContext& job, SceneScanMemo& memo) {
    return AnalysisGates::run([&] {
        OpenedVideo video = OpenedVideo::open(url);
        const bool known = memo.known(url).has_value();
        JobContext scenePart = known ? job : job.part(0, 0.6);
        JobContext ownPart = known ? job : job.part(0.6, 1);
        SceneAnalyzer::Result scenes = SceneAnalyzer::scan(video, scenePart, memo);
        const FrameSize size = frameSize(video.naturalSize.width, video.naturalSize.height, longEdge);
        SampleGate gate{sampleIntervalUs, 0};
        Result result;
        video.forEachFrame(
            size.width, size.height, OpenedVideo::PixelFormat::bgra32, OpenedVideo::Transfer::sRGB, ownPart,
            [&](const VideoFrame& frame, int64_t t) {
                result.samples.push_back({t, FaceDetector::detect(frame, video.orientation)});
                ownPart.report({EngineProgress::Phase::analyze, EngineProgress::Unit::microseconds,
                                std::min(t, scenes.durationUs), scenes.durationUs});
            },
            [&](int64_t t) { return gate.shouldTake(t); });
        Task::checkCancellation();
        std::vector<int64_t> cuts;
        for (size_t i = 1; i < scenes.spans.size(); ++i) cuts.push_back(scenes.spans[i].startUs);
        result.tracks = FaceTracker::tracks(result.samples, scenes.durationUs, cuts);
        result.durationUs = scenes.durationUs;
        return result;
    });
}

} // namespace korvel::FaceAnalyzer
