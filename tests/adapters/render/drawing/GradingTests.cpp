#include "Adapters/Render/Drawing/BackgroundFills.hpp"
#include "Adapters/Render/Drawing/Grading.hpp"
#include "Adapters/Render/Drawing/Transitions.hpp"
#include "tests/adapters/render/PictureFixtures.hpp"

#include <gtest/gtest.h>

#include <cmath>

using namespace korvel;
using namespace korvel::pictures;

namespace {
constexpr int W = 32, H = 18;
const render::RenderCanvas canvas(RenderSize{W, H});
ResolvedTimeline timeline() { return stillInputs(plan(W, H), {}).timeline; }

ColorStep correct(std::map<std::string, double> adjustments, std::optional<int64_t> from = {},
                  std::optional<int64_t> to = {}) {
    ColorStep s;
    s.kind = ColorStep::Correct{std::move(adjustments)};
    s.outStartUs = from;
    s.outEndUs = to;
    return s;
}

RGBAImage graded(const std::vector<ColorStep>& steps, int64_t atUs = 0, RGBAImage image = ramp(W, H)) {
    ResolvedTimeline t = timeline();
    Grading grading(steps, ColorRecipe{}, canvas, t);
    grading.graded(image, atUs, 0);
    return image;
}
} // namespace

TEST(Grading, CubeKeysAndBoundedCaches) {
    EXPECT_EQ(Grading::cubeKey("warm_cinema", 1), "warm_cinema|1.0");
    EXPECT_EQ(Grading::cubeKey("cool_film", 0.35), "cool_film|0.35");
    ResolvedTimeline t = timeline();
    Grading grading({}, ColorRecipe{}, canvas, t);
    for (int i = 0; i < 40; ++i) grading.cube("warm_cinema", i / 40.0);
    EXPECT_EQ(grading.cachedCubes(), Grading::maxCubes);
    for (int64_t seed = 0; seed < 20; ++seed) grading.grain().tile(seed);
    EXPECT_EQ(grading.grain().cachedTiles(), Grain::maxTiles);
    EXPECT_EQ(pictures::failureOf([&] { grading.cube("noir", 1); }), EngineFailure(-32602, "The look noir does not exist."));
}

TEST(Grading, StepsApplyFromTheirStartUntilTheirEnd) {
    ColorStep bounded = correct({{"exposure", 1}}, 1000, 2000);
    RGBAImage plain = ramp(W, H);
    EXPECT_NEAR(graded({bounded}, 1000).pixels[0], plain.pixels[0] * 2, 1e-6);
    EXPECT_NEAR(graded({bounded}, 2000).pixels[0], plain.pixels[0], 1e-6);
    EXPECT_NEAR(graded({bounded}, 999).pixels[0], plain.pixels[0], 1e-6);
}

TEST(Grading, ABadFilterInputIsSkippedNotACrash) {
    RGBAImage plain = ramp(W, H);
    for (const auto& adjustments : std::vector<std::map<std::string, double>>{
             {},
             {{"CIVibrance.inputImage", 1}},
             {{"CIVibrance.inputAmount.0", 0.5}, {"CIVibrance.inputAmount.1", 0.7}},
             {{"CIToneCurve.inputPoint1.0", 0.2}, {"CIToneCurve.inputPoint1.1", 0.8}, {"CIToneCurve.inputPoint1.2", 0.1}},
             {{"CIToneCurve.inputPoint2", 0.5}},
             {{"CIHighlightShadowAdjust.inputRadius.3", 4}},
             {{"faceBalanceWarmth", 0.9}}, // without a strength: nothing
         }) {
        RGBAImage out = graded({correct(adjustments)});
        for (size_t i = 0; i < out.pixels.size(); ++i) ASSERT_NEAR(out.pixels[i], plain.pixels[i], 1e-4);
    }
    // A well-shaped tone curve point does act.
    RGBAImage curved = graded({correct({{"CIToneCurve.inputPoint2.0", 0.5}, {"CIToneCurve.inputPoint2.1", 0.8}})});
    EXPECT_GT(curved.pixels[static_cast<size_t>(W / 2) * 4], plain.pixels[static_cast<size_t>(W / 2) * 4] + 0.01f);
    // A highlight and shadow with a radius runs on the blurred base.
    RGBAImage lifted = graded({correct({{"CIHighlightShadowAdjust.inputRadius", 3}, {"CIHighlightShadowAdjust.inputShadowAmount", 1}})});
    EXPECT_GT(lifted.pixels[0], plain.pixels[0]);
}

TEST(Grading, HeldFramesCarryTheSameGrain) {
    RenderPlan p = plan(W, H);
    p.segments = {fixtures::segment("v", 0, 0, 1000000, 0.5)};
    ResolvedTimeline t(p, {{"v", fixtures::table(30, 1, 60)}}, {});
    Grain grain(t, ColorRecipe{}, canvas);
    bool held = false;
    for (int64_t f = 0; f + 1 < 20; ++f) {
        if (t.sourceFrame(f) == t.sourceFrame(f + 1)) {
            held = true;
            EXPECT_EQ(grain.sourceUs(f), grain.sourceUs(f + 1));
        }
    }
    EXPECT_TRUE(held);
    EXPECT_EQ(grain.sourceUs(2), 33333); // source frame 1 of a 30 fps table at half speed
}

TEST(BackgroundFills, FillsByKind) {
    RGBAImage behind = ramp(W, H);
    BackgroundFills fills({{"photo", std::make_shared<const RGBAImage>(solid(8, 8, 0.1f, 0.2f, 0.3f))}}, {}, std::nullopt,
                          Placement{canvas, ColorRecipe{}});
    auto fill = [&](BackgroundFill::Kind kind) { return fills.image(BackgroundFill{kind}, behind, 12, noFrames); };
    RGBAImage none = fill(BackgroundFill::None{});
    EXPECT_EQ(at(none, 3, 3)[3], 1.0f);
    EXPECT_EQ(at(none, 3, 3)[0], 0.0f);
    RGBAImage grey = fill(BackgroundFill::Gray{});
    EXPECT_NEAR(at(grey, 20, 5)[0], at(grey, 20, 5)[1], 1e-5);
    RGBAImage white = fill(BackgroundFill::Solid{"#FFFFFF"});
    EXPECT_NEAR(at(white, 0, 0)[2], 1.0f, 1e-5);
    RGBAImage photo = fill(BackgroundFill::Asset{"photo"});
    EXPECT_NEAR(at(photo, W - 1, H - 1)[2], 0.3f, 1e-6);
    RGBAImage blurred = fill(BackgroundFill::Blur{1e12}); // held at the canvas diagonal
    for (float v : blurred.pixels) ASSERT_TRUE(std::isfinite(v));
    EXPECT_EQ(failureOf([&] { fill(BackgroundFill::Asset{"gone"}); }),
              EngineFailure(-32603, "Frame 12 has no decoded background."));
    EXPECT_EQ(failureOf([&] { fill(BackgroundFill::Solid{"fff"}); }), EngineFailure(-32602, "fff is not a color like #rrggbb."));
}

TEST(Transitions, FlashSteps) {
    Transitions t{canvas};
    RGBAImage picture = solid(W, H, 0.2f, 0.2f, 0.2f);
    struct Case {
        int64_t step, length;
        float expected;
    };
    for (const auto& c : std::vector<Case>{{0, 4, 1}, {4, 4, 0.2f}, {2, 4, 0.6f}, {9, 4, 0.2f}, {0, 0, 0.2f}}) {
        EXPECT_NEAR(at(t.flash(picture, c.step, c.length), 1, 1)[0], c.expected, 1e-6) << c.step << "/" << c.length;
    }
}
