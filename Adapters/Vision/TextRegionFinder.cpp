#include "Adapters/Vision/TextRegionFinder.hpp"

#include "Adapters/Vision/AnalysisGates.hpp"
#include "Adapters/Vision/OnnxModel.hpp"
#include "Adapters/Vision/OpenedVideo.hpp"
#include "Adapters/Vision/UprightImage.hpp"
#include "Core/Analysis/SampleGate.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace korvel::TextRegionFinder {

namespace {

constexpr const char* failure = "Vision failed on a frame: ";
// The line detector reads the picture at most this long, in steps of 32.
constexpr int detectorSide = 640;
constexpr float textProbability = 0.3f;
constexpr float boxScore = 0.6f;
constexpr double unclipRatio = 1.5;
constexpr int recogniserHeight = 48;
constexpr int recogniserWidest = 320;
constexpr double lowestConfidence = 0.5;

// The picture as the models want it: channels first, normalised per channel.
OnnxModel::Tensor planar(const cv::Mat& bgr, const float mean[3], const float scale[3]) {
    OnnxModel::Tensor t{{1, 3, bgr.rows, bgr.cols}, std::vector<float>(size_t(3 * bgr.rows * bgr.cols))};
    const size_t plane = size_t(bgr.rows) * size_t(bgr.cols);
    for (int y = 0; y < bgr.rows; ++y) {
        const uint8_t* row = bgr.ptr<uint8_t>(y);
        for (int x = 0; x < bgr.cols; ++x)
            for (int c = 0; c < 3; ++c)
                t.values[size_t(c) * plane + size_t(y) * size_t(bgr.cols) + size_t(x)] = (row[x * 3 + c] / 255.0f - mean[c]) * scale[c];
    }
    return t;
}

// The top candidate's confidence: the mean probability of the characters a
// greedy CTC decoding keeps; nothing when it keeps none.
std::optional<double> recognise(const cv::Mat& bgr, const cv::Rect& box) {
    cv::Rect inside = box & cv::Rect(0, 0, bgr.cols, bgr.rows);
    if (inside.width < 2 || inside.height < 2) return std::nullopt;
    const int width = std::clamp(static_cast<int>(std::ceil(recogniserHeight * double(inside.width) / inside.height)), 8,
                                 recogniserWidest);
    cv::Mat line;
    cv::resize(bgr(inside), line, cv::Size(width, recogniserHeight), 0, 0, cv::INTER_AREA);
    static const float mean[3] = {0.5f, 0.5f, 0.5f}, scale[3] = {2, 2, 2};
    auto outputs = OnnxModel::shared("ch_PP-OCRv4_rec_infer.onnx", failure).run(planar(line, mean, scale));
    if (outputs.empty() || outputs[0].shape.size() != 3) return std::nullopt;
    const auto& p = outputs[0];
    const size_t steps = size_t(p.shape[1]), classes = size_t(p.shape[2]);
    double sum = 0;
    int kept = 0;
    size_t previous = 0;
    for (size_t s = 0; s < steps; ++s) {
        const float* row = &p.values[s * classes];
        size_t best = size_t(std::max_element(row, row + classes) - row);
        if (best != 0 && best != previous) {
            sum += row[best];
            ++kept;
        }
        previous = best;
    }
    if (kept == 0) return std::nullopt;
    return sum / kept;
}

std::vector<Region> regionsOf(const cv::Mat& upright) {
    cv::Mat bgr;
    cv::cvtColor(upright, bgr, cv::COLOR_BGRA2BGR);
    const double scale = std::min(1.0, double(detectorSide) / std::max(bgr.cols, bgr.rows));
    auto side = [&](int v) { return std::max(32, static_cast<int>(std::lround(v * scale / 32)) * 32); };
    cv::Mat small;
    cv::resize(bgr, small, cv::Size(side(bgr.cols), side(bgr.rows)), 0, 0, cv::INTER_AREA);
    static const float mean[3] = {0.485f, 0.456f, 0.406f}, scaleOf[3] = {1 / 0.229f, 1 / 0.224f, 1 / 0.225f};
    auto outputs = OnnxModel::shared("ch_PP-OCRv4_det_infer.onnx", failure).run(planar(small, mean, scaleOf));
    std::vector<Region> regions;
    if (outputs.empty() || outputs[0].shape.size() != 4) return regions;
    const auto& map = outputs[0];
    const int mh = static_cast<int>(map.shape[2]), mw = static_cast<int>(map.shape[3]);
    cv::Mat probability(mh, mw, CV_32F, const_cast<float*>(map.values.data()));
    cv::Mat mask = probability > textProbability;
    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(mask, contours, cv::RETR_LIST, cv::CHAIN_APPROX_SIMPLE);
    // Lines top to bottom, then left to right, as a reader meets them.
    std::vector<cv::Rect> lines;
    for (const auto& contour : contours) {
        cv::Rect r = cv::boundingRect(contour);
        if (std::min(r.width, r.height) < 3) continue;
        cv::Mat inside = cv::Mat::zeros(r.size(), CV_8U);
        std::vector<std::vector<cv::Point>> shifted{contour};
        for (auto& p : shifted[0]) p -= r.tl();
        cv::fillPoly(inside, shifted, 255);
        if (cv::mean(probability(r), inside)[0] < boxScore) continue;
        // Grow the shrunken text kernel back to the line's own size.
        double area = cv::contourArea(contour), length = cv::arcLength(contour, true);
        int grow = length > 0 ? static_cast<int>(std::lround(area * unclipRatio / length)) : 0;
        r.x -= grow, r.y -= grow, r.width += 2 * grow, r.height += 2 * grow;
        r &= cv::Rect(0, 0, mw, mh);
        if (r.width > 0 && r.height > 0) lines.push_back(r);
    }
    std::sort(lines.begin(), lines.end(), [](const cv::Rect& a, const cv::Rect& b) {
        return a.y != b.y ? a.y < b.y : a.x < b.x;
    });
    const double sx = double(bgr.cols) / mw, sy = double(bgr.rows) / mh;
    for (const cv::Rect& r : lines) {
        cv::Rect full(static_cast<int>(r.x * sx), static_cast<int>(r.y * sy), static_cast<int>(std::ceil(r.width * sx)),
                      static_cast<int>(std::ceil(r.height * sy)));
        auto confidence = recognise(bgr, full);
        if (!confidence || *confidence < lowestConfidence) continue;
        NormalizedBox box{double(r.x) / mw, double(r.y) / mh, double(r.width) / mw, double(r.height) / mh};
        regions.push_back({box.clamped(), *confidence});
    }
    return regions;
}

} // namespace

std::vector<Sample> analyze(const std::filesystem::path& url, const JobContext& job) {
    return AnalysisGates::run([&] {
        OpenedVideo video = OpenedVideo::open(url);
        const FrameSize size = frameSize(video.naturalSize.width, video.naturalSize.height, longEdge);
        SampleGate gate{sampleIntervalUs, 0};
        std::vector<Sample> samples;
        video.forEachFrame(
            size.width, size.height, OpenedVideo::PixelFormat::bgra32, OpenedVideo::Transfer::sRGB, job,
            [&](const VideoFrame& frame, int64_t t) {
                samples.push_back({t, regionsOf(uprightImage(frame, video.orientation))});
                job.report({EngineProgress::Phase::analyze, EngineProgress::Unit::microseconds,
                            std::min(t, video.durationUs), video.durationUs});
            },
            [&](int64_t t) { return gate.shouldTake(t); });
        Task::checkCancellation();
        return samples;
    });
}

} // namespace korvel::TextRegionFinder
