#include "Adapters/Vision/FaceDetector.hpp"

#include "Adapters/Vision/OnnxModel.hpp"
#include "Adapters/Vision/UprightImage.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace korvel::FaceDetector {

namespace {

constexpr int valuesPerAnchor = 16;

struct Candidate {
    float score;
    float x0, y0, x1, y1; // in the letterboxed input, 0..1
};

float iou(const Candidate& a, const Candidate& b) {
    float w = std::min(a.x1, b.x1) - std::max(a.x0, b.x0), h = std::min(a.y1, b.y1) - std::max(a.y0, b.y0);
    if (w <= 0 || h <= 0) return 0;
    float inter = w * h;
    float area = (a.x1 - a.x0) * (a.y1 - a.y0) + (b.x1 - b.x0) * (b.y1 - b.y0) - inter;
    return area > 0 ? inter / area : 0;
}

} // namespace

std::vector<DetectedFace> detect(const VideoFrame& frame, int orientation) {
    std::vector<DetectedFace> faces;
    if (frame.width <= 0 || frame.height <= 0) return faces;
    cv::Mat upright = uprightImage(frame, orientation);
    const int w = upright.cols, h = upright.rows;
    // Letterboxed into the square input, aspect kept, centred.
    const double scale = double(inputSide) / std::max(w, h);
    const int sw = std::max(1, static_cast<int>(std::lround(w * scale))), sh = std::max(1, static_cast<int>(std::lround(h * scale)));
    cv::Mat small;
    cv::resize(upright, small, cv::Size(sw, sh), 0, 0, cv::INTER_AREA);
    const int ox = (inputSide - sw) / 2, oy = (inputSide - sh) / 2;
    OnnxModel::Tensor input{{1, inputSide, inputSide, 3}, std::vector<float>(size_t(inputSide * inputSide * 3), 0.0f)};
    for (int y = 0; y < sh; ++y) {
        const uint8_t* row = small.ptr<uint8_t>(y);
        float* out = &input.values[size_t(((y + oy) * inputSide + ox) * 3)];
        for (int x = 0; x < sw; ++x, out += 3) {
            out[0] = row[x * 4 + 2] / 127.5f - 1;
            out[1] = row[x * 4 + 1] / 127.5f - 1;
            out[2] = row[x * 4] / 127.5f - 1;
        }
    }
    auto outputs = OnnxModel::shared("face_detection_full_range.onnx", "Vision failed on a frame: ").run(input);
    const OnnxModel::Tensor* boxes = nullptr;
    const OnnxModel::Tensor* scores = nullptr;
    for (const auto& o : outputs) (o.shape.back() == valuesPerAnchor ? boxes : scores) = &o;
    if (!boxes || !scores) return faces;
    const size_t anchors = scores->values.size();
    std::vector<Candidate> candidates;
    for (size_t i = 0; i < anchors && (i + 1) * valuesPerAnchor <= boxes->values.size(); ++i) {
        float raw = std::clamp(scores->values[i], -100.0f, 100.0f);
        float score = 1 / (1 + std::exp(-raw));
        if (score < lowestScore) continue;
        const float* b = &boxes->values[i * valuesPerAnchor];
        float ax = (float(i % grid) + 0.5f) / grid, ay = (float(i / grid) + 0.5f) / grid;
        float cx = b[0] / inputSide + ax, cy = b[1] / inputSide + ay;
        float bw = b[2] / inputSide, bh = b[3] / inputSide;
        candidates.push_back({score, cx - bw / 2, cy - bh / 2, cx + bw / 2, cy + bh / 2});
    }
    std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) { return a.score > b.score; });
    std::vector<bool> used(candidates.size(), false);
    for (size_t i = 0; i < candidates.size(); ++i) {
        if (used[i]) continue;
        // Weighted suppression: the overlapping boxes vote by their scores.
        float total = 0, x0 = 0, y0 = 0, x1 = 0, y1 = 0;
        for (size_t j = i; j < candidates.size(); ++j) {
            if (used[j] || iou(candidates[i], candidates[j]) < overlapToMerge) continue;
            used[j] = true;
            const Candidate& c = candidates[j];
            total += c.score;
            x0 += c.x0 * c.score, y0 += c.y0 * c.score, x1 += c.x1 * c.score, y1 += c.y1 * c.score;
        }
        x0 /= total, y0 /= total, x1 /= total, y1 /= total;
        // Back from the letterbox to the upright picture.
        auto px = [&](float v) { return (double(v) * inputSide - ox) / sw; };
        auto py = [&](float v) { return (double(v) * inputSide - oy) / sh; };
        NormalizedBox box{px(x0), py(y0), px(x1) - px(x0), py(y1) - py(y0)};
        faces.push_back({box.clamped(), double(candidates[i].score)});
    }
    return faces;
}

} // namespace korvel::FaceDetector
