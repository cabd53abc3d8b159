#include "Adapters/Vision/PersonSegmenter.hpp"

#include "Adapters/Vision/OnnxModel.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>

namespace korvel::PersonSegmenter {

cv::Mat mask(const cv::Mat& uprightBgra) {
    cv::Mat small;
    cv::resize(uprightBgra, small, cv::Size(side, side), 0, 0, cv::INTER_AREA);
    OnnxModel::Tensor input{{1, side, side, 3}, std::vector<float>(size_t(side * side * 3))};
    for (int y = 0; y < side; ++y) {
        const uint8_t* row = small.ptr<uint8_t>(y);
        float* out = &input.values[size_t(y * side * 3)];
        for (int x = 0; x < side; ++x) {
            out[x * 3] = row[x * 4 + 2] / 255.0f;
            out[x * 3 + 1] = row[x * 4 + 1] / 255.0f;
            out[x * 3 + 2] = row[x * 4] / 255.0f;
        }
    }
    auto outputs = OnnxModel::shared("selfie_segmentation.onnx", "Vision failed on a frame: ").run(input);
    cv::Mat out(side, side, CV_8U, cv::Scalar(0));
    if (outputs.empty() || outputs[0].values.size() < size_t(side * side)) return out;
    const auto& v = outputs[0].values;
    for (int y = 0; y < side; ++y) {
        uint8_t* row = out.ptr<uint8_t>(y);
        for (int x = 0; x < side; ++x) row[x] = static_cast<uint8_t>(std::clamp(v[size_t(y * side + x)], 0.0f, 1.0f) * 255 + 0.5f);
    }
    return out;
}

} // namespace korvel::PersonSegmenter
