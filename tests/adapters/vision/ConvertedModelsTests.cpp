#include "Adapters/Vision/OnnxModel.hpp"
#include "Core/Jobs.hpp"
#include "tests/adapters/vision/VisionFixtures.hpp"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <numeric>

using namespace korvel;

// The models converted at install time against what the original graphs
// compute on fixed inputs. The expected figures come from a plain NumPy
// evaluation of the original TFLite graphs (scripts/models/tflite_reference.py),
// which shares no code with the converter.

namespace {

// sin(0.05·x + 0.09·y + 1.7·channel), channels last.
OnnxModel::Tensor sinePattern(int side) {
    OnnxModel::Tensor t{{1, side, side, 3}, {}};
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x)
            for (int c = 0; c < 3; ++c) t.values.push_back(std::sin(0.05f * float(x) + 0.09f * float(y) + 1.7f * float(c)));
    return t;
}

double sum(const std::vector<float>& v) { return std::accumulate(v.begin(), v.end(), 0.0); }
double absSum(const std::vector<float>& v) {
    return std::accumulate(v.begin(), v.end(), 0.0, [](double a, float b) { return a + std::abs(b); });
}

} // namespace

TEST(ConvertedModels, FaceDetectorMatchesTheOriginalGraph) {
    auto outputs = OnnxModel::shared("face_detection_full_range.onnx", "").run(sinePattern(192));
    ASSERT_EQ(outputs.size(), 2u);
    const auto& boxes = outputs[0].values.size() == 36864 ? outputs[0] : outputs[1];
    const auto& scores = outputs[0].values.size() == 36864 ? outputs[1] : outputs[0];
    ASSERT_EQ(boxes.values.size(), 36864u);
    ASSERT_EQ(scores.values.size(), 2304u);
    EXPECT_NEAR(sum(boxes.values), 139911.22, 140);
    EXPECT_NEAR(absSum(boxes.values), 483203.81, 480);
    EXPECT_NEAR(boxes.values.front(), -3.314926, 1e-3);
    EXPECT_NEAR(boxes.values.back(), -7.361345, 1e-3);
    EXPECT_NEAR(sum(scores.values), -11436.875, 12);
    EXPECT_NEAR(scores.values.front(), -7.027796, 1e-3);
    EXPECT_NEAR(scores.values.back(), -8.906380, 1e-3);
}

TEST(ConvertedModels, PersonSegmenterMatchesTheOriginalGraph) {
    // The astronaut at half size by 2×2 means, RGB in 0..1.
    cv::Mat bgr = cv::imread(VisionFixtures::astronautPng, cv::IMREAD_COLOR);
    ASSERT_EQ(bgr.cols, 512);
    cv::Mat rgb, half;
    cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
    rgb.convertTo(rgb, CV_32FC3, 1.0 / 255);
    cv::resize(rgb, half, cv::Size(256, 256), 0, 0, cv::INTER_AREA);
    OnnxModel::Tensor input{{1, 256, 256, 3}, std::vector<float>(half.ptr<float>(0), half.ptr<float>(0) + 256 * 256 * 3)};
    auto outputs = OnnxModel::shared("selfie_segmentation.onnx", "").run(input);
    ASSERT_EQ(outputs.size(), 1u);
    ASSERT_EQ(outputs[0].values.size(), 65536u);
    EXPECT_NEAR(sum(outputs[0].values), 35674.23, 36);
    EXPECT_NEAR(outputs[0].values[128 * 256 + 128], 1.0, 1e-3);
    EXPECT_NEAR(outputs[0].values[10 * 256 + 250], 0.0, 1e-3);
}

TEST(ConvertedModels, AMissingModelFailsWithTheSentence) {
    try {
        OnnxModel::shared("no-such-model.onnx", "Vision failed on a frame: ");
        ADD_FAILURE();
    } catch (const EngineFailure& e) {
        EXPECT_EQ(e.code, -32603);
        EXPECT_EQ(e.message.rfind("Vision failed on a frame: ", 0), 0u) << e.message;
    }
}
