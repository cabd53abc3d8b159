#include "Adapters/Vision/SceneAnalyzer.hpp"

#include "Adapters/Vision/AnalysisGates.hpp"
#include "Adapters/Vision/SceneScanMemo.hpp"
#include "Core/Analysis/ColorSteps.hpp"

#include <algorithm>
#include <cstdlib>

namespace korvel::SceneAnalyzer {

namespace {
constexpr size_t framesPerReport = 30;
} // namespace

double distance(std::span<const uint8_t> previous, std::span<const uint8_t> current) {
    if (previous.size() != current.size() || current.empty()) return 0;
    uint64_t sum = 0;
    for (size_t i = 0; i < current.size(); ++i) sum += uint64_t(std::abs(int(current[i]) - int(previous[i])));
    return double(sum) / double(current.size()) / 255.0;
}

Result readFrames(const OpenedVideo& video, const JobContext& job, const OpenedVideo::Beside* beside) {
    std::vector<uint8_t> previous, current;
    std::vector<double> distances, shifts;
    std::vector<int64_t> framePtsUs;
    video.forEachFrame(width, height, OpenedVideo::PixelFormat::bgra32, OpenedVideo::Transfer::sRGB, job,
                       [&](const VideoFrame& frame, int64_t t) {
                           current.resize(size_t(frame.width * frame.height * 3));
                           uint8_t* out = current.data();
                           for (int64_t y = 0; y < frame.height; ++y) {
                               const uint8_t* row = frame.bgra + y * frame.bytesPerRow;
                               for (int64_t x = 0; x < frame.width; ++x, out += 3) {
                                   out[0] = row[x * 4];
                                   out[1] = row[x * 4 + 1];
                                   out[2] = row[x * 4 + 2];
                               }
                           }
                           distances.push_back(distance(previous, current));
                           shifts.push_back(ColorStepDetector::medianShift(previous, current));
                           framePtsUs.push_back(t);
                           std::swap(previous, current);
                           if (framePtsUs.size() % framesPerReport == 0) {
                               job.report({EngineProgress::Phase::analyze, EngineProgress::Unit::microseconds,
                                           std::min(video.durationUs, t), video.durationUs});
                           }
                       },
                       {}, {}, beside);
    Result result;
    result.durationUs = std::max(video.durationUs, framePtsUs.empty() ? int64_t{0} : framePtsUs.back());
    result.spans = SceneDetector::scenes(distances, framePtsUs, result.durationUs);
    result.colorSteps = ColorStepDetector::steps(shifts, framePtsUs, result.durationUs);
    return result;
}

Result scan(const OpenedVideo& video, const JobContext& job, SceneScanMemo& memo, const OpenedVideo::Beside* beside) {
    return memo.result(video.url, [&] { return readFrames(video, job, beside); });
}

Result analyze(const std::filesystem::path& url, const JobContext& job, SceneScanMemo& memo) {
    return AnalysisGates::run([&] {
        OpenedVideo video = OpenedVideo::open(url);
        return scan(video, job, memo);
    });
}

} // namespace korvel::SceneAnalyzer
