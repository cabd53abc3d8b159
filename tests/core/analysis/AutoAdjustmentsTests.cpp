#include "Core/Analysis/AutoAdjustments.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

using namespace korvel;

namespace {
std::vector<uint8_t> gradient(int64_t w, int64_t h, int lo, int hi, double saturation) {
    std::vector<uint8_t> px(size_t(w * h * 4));
    for (int64_t y = 0; y < h; ++y)
        for (int64_t x = 0; x < w; ++x) {
            double v = lo + (hi - lo) * double(x) / double(w - 1);
            uint8_t* p = &px[size_t((y * w + x) * 4)];
            p[2] = uint8_t(v);
            p[1] = uint8_t(v * (1 - saturation / 2));
            p[0] = uint8_t(v * (1 - saturation));
            p[3] = 255;
        }
    return px;
}

const AutoAdjustments::Filter* find(const std::vector<AutoAdjustments::Filter>& fs, const std::string& name) {
    for (const auto& f : fs)
        if (f.name == name) return &f;
    return nullptr;
}
} // namespace

TEST(AutoAdjustments, ADullFlatFrameGetsACurveAndVibrance) {
    auto px = gradient(64, 36, 90, 160, 0.05);
    auto proposal = AutoAdjustments::propose(px, 64, 36, 64 * 4);
    const auto* curve = find(proposal, "CIToneCurve");
    ASSERT_TRUE(curve);
    ASSERT_EQ(curve->inputs.size(), 5u);
    // The curve spreads the used range: the frame's levels mapped through the
    // points (linear between them) cover most of the scale.
    auto mapped = [&](double x) {
        for (size_t k = 0; k + 1 < curve->inputs.size(); ++k) {
            const auto& a = curve->inputs[k].values;
            const auto& b = curve->inputs[k + 1].values;
            if (x <= b[0]) return a[1] + (b[1] - a[1]) * (x - a[0]) / (b[0] - a[0]);
        }
        return curve->inputs.back().values[1];
    };
    EXPECT_EQ(curve->inputs[0].key, "inputPoint0");
    EXPECT_TRUE(curve->inputs[0].isVector);
    double low = mapped(92 / 255.0), high = mapped(158 / 255.0);
    EXPECT_GT(high - low, 0.3);
    for (size_t k = 0; k + 1 < curve->inputs.size(); ++k) EXPECT_LE(curve->inputs[k].values[1], curve->inputs[k + 1].values[1]);
    EXPECT_TRUE(find(proposal, "CIVibrance"));
    EXPECT_FALSE(find(proposal, "CIFaceBalance"));
}

TEST(AutoAdjustments, OnlyWhatThePictureLacksIsProposed) {
    // A full grey ramp needs no curve; a colourful frame no vibrance.
    auto ramp = gradient(64, 36, 0, 255, 0);
    auto forRamp = AutoAdjustments::propose(ramp, 64, 36, 64 * 4);
    EXPECT_FALSE(find(forRamp, "CIToneCurve"));
    EXPECT_TRUE(find(forRamp, "CIVibrance"));
    auto colourful = gradient(64, 36, 90, 160, 0.6);
    EXPECT_FALSE(find(AutoAdjustments::propose(colourful, 64, 36, 64 * 4), "CIVibrance"));
}

TEST(AutoAdjustments, FacesBringAFaceBalance) {
    auto px = gradient(64, 36, 0, 255, 0.6);
    std::vector<NormalizedBox> faces{{0.4, 0.2, 0.2, 0.3}};
    auto proposal = AutoAdjustments::propose(px, 64, 36, 64 * 4, faces);
    const auto* balance = find(proposal, "CIFaceBalance");
    ASSERT_TRUE(balance);
    for (const auto& input : balance->inputs) EXPECT_TRUE(std::isfinite(input.values[0]));
}

TEST(AutoAdjustments, ShortBuffersGiveNothing) {
    std::vector<uint8_t> px(10);
    EXPECT_TRUE(AutoAdjustments::propose(px, 64, 36, 256).empty());
}
