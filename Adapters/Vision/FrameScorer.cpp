#include "Adapters/Vision/FrameScorer.hpp"

#include "Adapters/Vision/AnalysisGates.hpp"
#include "Adapters/Vision/FaceDetector.hpp"
#include "Adapters/Vision/FaceQuality.hpp"
#include "Adapters/Vision/OpenedVideo.hpp"
#include "Adapters/Vision/UprightImage.hpp"
#include "Core/Analysis/FrameMeasures.hpp"
#include "Core/Analysis/SampleGate.hpp"

#include <algorithm>

namespace korvel::FrameScorer {

std::vector<Sample> analyze(const std::filesystem::path& url, const JobContext& job) {
    return AnalysisGates::run([&] {
        OpenedVideo video = OpenedVideo::open(url);
        const FrameSize size = frameSize(video.naturalSize.width, video.naturalSize.height, longEdge);
        SampleGate gate{sampleIntervalUs, 0};
        std::vector<Sample> samples;
        video.forEachFrame(
            size.width, size.height, OpenedVideo::PixelFormat::bgra32, OpenedVideo::Transfer::sRGB, job,
            [&](const VideoFrame& frame, int64_t t) {
                Sample sample{t, std::nullopt, 0};
                auto faces = FaceDetector::detect(frame, video.orientation);
                if (!faces.empty()) {
                    cv::Mat upright = uprightImage(frame, video.orientation);
                    for (const auto& face : faces) {
                        if (auto q = FaceQuality::of(upright, face))
                            sample.faceQuality = std::max(sample.faceQuality.value_or(0.0), *q);
                    }
                }
                sample.sharpness = FrameMeasures::sharpness(frame.bytes(), frame.width, frame.height, frame.bytesPerRow);
                samples.push_back(sample);
                job.report({EngineProgress::Phase::analyze, EngineProgress::Unit::microseconds,
                            std::min(t, video.durationUs), video.durationUs});
            },
            [&](int64_t t) { return gate.shouldTake(t); });
        Task::checkCancellation();
        return samples;
    });
}

} // namespace korvel::FrameScorer
