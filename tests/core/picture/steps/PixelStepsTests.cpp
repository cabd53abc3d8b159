#include "Core/Picture/Compositing.hpp"
#include "Core/Picture/GuidedUpsample.hpp"
#include "Core/Picture/Color/LookCube.hpp"
#include "Core/Picture/Orientation.hpp"
#include "Core/Picture/PixelChain.hpp"
#include "Core/Picture/Steps/ColorControlsStep.hpp"
#include "Core/Picture/Steps/CubeStep.hpp"
#include "Core/Picture/Steps/ExposureStep.hpp"
#include "Core/Picture/Steps/FaceBalanceStep.hpp"
#include "Core/Picture/Steps/GainsStep.hpp"
#include "Core/Picture/Steps/GrainStep.hpp"
#include "Core/Picture/Steps/HighlightShadowStep.hpp"
#include "Core/Picture/Steps/ToneCurveStep.hpp"
#include "Core/Picture/Steps/VibranceStep.hpp"

#include <gtest/gtest.h>

#include <cmath>

using namespace korvel;

namespace {
// Premultiplied linear pixels covering the range of a picture, alpha 1 and 0.5.
std::vector<float> swatch() {
    std::vector<float> px;
    for (float r : {0.0f, 0.05f, 0.3f, 0.9f})
        for (float g : {0.0f, 0.2f, 0.7f})
            for (float b : {0.01f, 0.5f, 1.0f})
                for (float a : {1.0f, 0.5f}) px.insert(px.end(), {r * a, g * a, b * a, a});
    return px;
}

std::vector<float> through(std::unique_ptr<PixelStep> step, std::vector<float> px, ColorSpace space = ColorSpace::itur709) {
    PixelChain chain(space);
    chain.add(std::move(step));
    chain.run(px.data(), static_cast<int>(px.size() / 4), 0, 0);
    return px;
}

void expectSame(const std::vector<float>& a, const std::vector<float>& b, float tolerance, const char* what) {
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) ASSERT_NEAR(a[i], b[i], tolerance) << what << " at " << i;
}
} // namespace

TEST(PixelSteps, NeutralSettingsAreTheIdentity) {
    auto px = swatch();
    const float within = 1.0f / 1024;
    struct Case {
        const char* what;
        std::unique_ptr<PixelStep> step;
    };
    std::vector<Case> cases;
    cases.push_back({"look at strength 0", std::make_unique<CubeStep>(
                                               std::make_shared<const std::vector<float>>(LookCube::values("warm_cinema", 0)), 33)});
    cases.push_back({"gains of 1", std::make_unique<GainsStep>(1, 1, 1)});
    cases.push_back({"exposure 0", std::make_unique<ExposureStep>(0)});
    cases.push_back({"colour controls at defaults", std::make_unique<ColorControlsStep>(0, 1, 1)});
    cases.push_back({"vibrance 0", std::make_unique<VibranceStep>(0)});
    cases.push_back({"default tone curve", std::make_unique<ToneCurveStep>(std::vector<std::pair<double, double>>(
                                               ToneCurveStep::defaults().begin(), ToneCurveStep::defaults().end()))});
    cases.push_back({"shadow 0, highlight 1", std::make_unique<HighlightShadowStep>(0, 1)});
    cases.push_back({"face balance at its target",
                     std::make_unique<FaceBalanceStep>(FaceBalanceStep::targetI(0.3), FaceBalanceStep::targetQ(0.3), 1, 0.3)});
    for (auto& c : cases) expectSame(through(std::move(c.step), px), px, within, c.what);
    // Also through the HLG gamma space, where the gamut widens and back.
    expectSame(through(std::make_unique<GainsStep>(1, 1, 1), px, ColorSpace::itur2100HLG), px, within, "HLG round trip");
}

TEST(PixelSteps, ExposureIsCappedAndControlsMoveThePicture) {
    EXPECT_FLOAT_EQ(ExposureStep(1).gain(), 2.0f);
    EXPECT_FLOAT_EQ(ExposureStep(1e9).gain(), 65536.0f);
    EXPECT_FLOAT_EQ(ExposureStep(-1e9).gain(), 1.0f / 65536.0f);
    EXPECT_FLOAT_EQ(ExposureStep(std::nan("")).gain(), 1.0f);
    // Saturation 0 is grey: all channels equal.
    auto grey = through(std::make_unique<ColorControlsStep>(0, 1, 0), swatch());
    for (size_t i = 0; i < grey.size(); i += 4) {
        EXPECT_NEAR(grey[i], grey[i + 1], 1e-5);
        EXPECT_NEAR(grey[i + 1], grey[i + 2], 1e-5);
    }
    // Vibrance lifts a dull colour more than a vivid one.
    std::vector<float> dull{0.4f, 0.3f, 0.3f, 1}, vivid{0.9f, 0.05f, 0.05f, 1};
    auto spread = [](const std::vector<float>& p) { return p[0] - p[1]; };
    auto d = through(std::make_unique<VibranceStep>(1), dull), v = through(std::make_unique<VibranceStep>(1), vivid);
    EXPECT_GT(spread(d) / spread(dull), spread(v) / spread(vivid));
}

TEST(PixelSteps, ToneCurveIsMonotoneAndFlatOutside) {
    ToneCurveStep curve({{0.75, 0.9}, {0.0, 0.1}, {0.25, 0.2}, {1.0, 0.95}, {0.5, 0.5}});
    EXPECT_DOUBLE_EQ(curve.value(-1), 0.1);
    EXPECT_DOUBLE_EQ(curve.value(2), 0.95);
    EXPECT_DOUBLE_EQ(curve.value(0.5), 0.5);
    double before = -1;
    for (double x = 0; x <= 1; x += 0.01) {
        EXPECT_GE(curve.value(x), before);
        before = curve.value(x);
    }
}

TEST(PixelSteps, SoftLightAndGrainGrey) {
    // A source of 0.5 leaves the backdrop; darker darkens, lighter lightens.
    for (float b : {0.0f, 0.2f, 0.5f, 0.9f, 1.0f}) EXPECT_FLOAT_EQ(GrainStep::softLight(b, 0.5f), b);
    EXPECT_LT(GrainStep::softLight(0.5f, 0.2f), 0.5f);
    EXPECT_GT(GrainStep::softLight(0.5f, 0.8f), 0.5f);
    // Strength 0 makes the grain a flat 0.5: the picture is unchanged.
    auto tile = std::make_shared<std::vector<float>>(512 * 512);
    auto values = GrainGrid::tile(3);
    for (size_t i = 0; i < tile->size(); ++i) (*tile)[i] = GrainGrid::byteOf(values[i]) / 255.0f;
    auto px = swatch();
    expectSame(through(std::make_unique<GrainStep>(tile, GrainOffset{5, 9}, 1.5, 0, 100), px), px, 1.0f / 1024, "grain 0");
    EXPECT_NE(through(std::make_unique<GrainStep>(tile, GrainOffset{5, 9}, 1.5, 1, 100), px), px);
}

TEST(PixelSteps, ResultsAreSanitised) {
    std::vector<float> px{NAN, 0.5f, INFINITY, 1};
    auto out = through(std::make_unique<GainsStep>(1, 1, 1), px);
    for (float v : out) EXPECT_TRUE(std::isfinite(v));
}

TEST(Compositing, DivideByAnEmptyMaskGivesZeroNotNaN) {
    RGBAImage a = RGBAImage::transparent(0, 0, 2, 1), b = RGBAImage::transparent(0, 0, 2, 1);
    a.pixels = {0.5f, 0.5f, 0.5f, 1, 0, 0, 0, 0};
    b.pixels = {0.5f, 0.25f, 1, 1, 0, 0, 0, 0};
    RGBAImage out = RGBAImage::transparent(0, 0, 2, 1);
    Compositing::divide(a, b, out, 0, 1);
    EXPECT_EQ(out.pixels, (FrameFloats{1, 2, 0.5f, 1, 0, 0, 0, 0}));
}

TEST(Compositing, DissolveHalfwayIsTheMean) {
    RGBAImage a = RGBAImage::transparent(0, 0, 1, 1), b = RGBAImage::transparent(0, 0, 1, 1);
    a.pixels = {0.2f, 0.4f, 0.6f, 1};
    b.pixels = {1, 0, 0.2f, 1};
    RGBAImage out = RGBAImage::transparent(0, 0, 1, 1);
    Compositing::dissolve(a, b, 0.5f, out, 0, 1);
    for (int c = 0; c < 4; ++c) EXPECT_FLOAT_EQ(out.pixels[c], (a.pixels[c] + b.pixels[c]) / 2);
}

TEST(GuidedUpsample, SnapsACoarseEdgeToThePicture) {
    // A picture with a sharp vertical edge at x = 16 and a mask that knows it
    // only at a quarter of the resolution.
    RGBAImage picture = RGBAImage::transparent(0, 0, 32, 8);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 32; ++x)
            for (int c = 0; c < 3; ++c) picture.row(y)[x * 4 + c] = x < 16 ? 0.9f : 0.05f, picture.row(y)[x * 4 + 3] = 1;
    RGBAImage coarse = RGBAImage::transparent(0, 0, 8, 2);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 8; ++x) coarse.row(y)[x * 4] = x < 4 ? 1.0f : 0.0f;
    RGBAImage refined = GuidedUpsample::refined(coarse, picture, 4, 0.0025f);
    // Linear upsampling alone gives 0.875 and 0.125 there.
    EXPECT_GT(refined.row(4)[14 * 4], 0.875f + 0.01f);
    EXPECT_LT(refined.row(4)[17 * 4], 0.125f - 0.01f);
}

TEST(Orientation, QuarterTurnsMovePixels) {
    RGBAImage p = RGBAImage::transparent(0, 0, 2, 1);
    p.pixels = {1, 0, 0, 1, 0, 1, 0, 1};
    RGBAImage right = Orientation::upright(p, 6);
    ASSERT_EQ(right.width, 1);
    ASSERT_EQ(right.height, 2);
    EXPECT_EQ(right.row(0)[0], 1.0f); // the left pixel comes to the top
    RGBAImage down = Orientation::upright(p, 3);
    EXPECT_EQ(down.row(0)[1], 1.0f);
}
