#include "Adapters/Render/MatteRefiner.hpp"
#include "PictureFixtures.hpp"

#include <gtest/gtest.h>

#include <cmath>

using namespace korvel;
using namespace korvel::pictures;

namespace {
constexpr int W = 48, H = 27;
MatteRefiner refiner(bool despill, int w = W, int h = H) { return MatteRefiner{render::RenderCanvas(RenderSize{w, h}), despill}; }
RGBAImage grey(float v) { return solid(W, H, v, v, v); }
} // namespace

TEST(MatteRefiner, SizesFollowTheCanvasLongEdge) {
    EXPECT_DOUBLE_EQ(refiner(false, 1920, 1080).decontaminationSigma(), 6);
    EXPECT_DOUBLE_EQ(refiner(false, 1920, 1080).erosionRadius(), 4);
    EXPECT_DOUBLE_EQ(refiner(false, 3840, 2160).decontaminationSigma(), 12);
    EXPECT_DOUBLE_EQ(refiner(false, 3840, 2160).erosionRadius(), 8);
    EXPECT_DOUBLE_EQ(refiner(false, 1080, 1920).decontaminationSigma(), 6);
}

TEST(MatteRefiner, FullAndEmptyMasks) {
    RGBAImage picture = ramp(W, H), fill = solid(W, H, 0, 1, 0);
    RGBAImage kept = refiner(false).replacingBackground(picture, grey(1), fill);
    for (size_t i = 0; i < picture.pixels.size(); ++i) ASSERT_NEAR(kept.pixels[i], picture.pixels[i], 1e-5);
    RGBAImage replaced = refiner(false).replacingBackground(picture, grey(0), fill);
    for (size_t i = 0; i < fill.pixels.size(); ++i) ASSERT_NEAR(replaced.pixels[i], fill.pixels[i], 1e-6);
    // 0.98 and above count as solid.
    RGBAImage hard = refiner(false).replacingBackground(picture, grey(0.981f), fill);
    EXPECT_NEAR(hard.pixels[0], picture.pixels[0], 1e-5);
}

TEST(MatteRefiner, AnEmptyNeighbourhoodNeverTurnsIntoNaN) {
    // The right half has no mask at all: the interior colour there is 0 / 0.
    RGBAImage mask = grey(0);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < 6; ++x) mask.row(y)[x * 4] = 0.7f;
    RGBAImage fill = solid(W, H, 0.2f, 0.4f, 0.6f);
    RGBAImage out = refiner(true).replacingBackground(ramp(W, H), mask, fill);
    for (float v : out.pixels) ASSERT_TRUE(std::isfinite(v));
    EXPECT_NEAR(at(out, W - 1, H / 2)[1], 0.4f, 1e-6);
}

TEST(MatteRefiner, DespillTakesGreenOutsideTheSolidCore) {
    RGBAImage green = solid(W, H, 0, 1, 0), black = solid(W, H, 0, 0, 0);
    RGBAImage spilled = refiner(false).replacingBackground(green, grey(0.9f), black);
    RGBAImage despilled = refiner(true).replacingBackground(green, grey(0.9f), black);
    EXPECT_NEAR(at(spilled, 10, 10)[1], 0.918f, 1e-3);
    EXPECT_NEAR(at(despilled, 10, 10)[1], 0, 1e-6);
    // A grey pixel keeps its colour through the despill cube (within the
    // cube's linear interpolation between its grid points).
    RGBAImage greyed = refiner(true).replacingBackground(grey(0.5f), grey(0.9f), black);
    EXPECT_NEAR(at(greyed, 10, 10)[1], 0.5f * 0.918f, 0.005);
    EXPECT_NEAR(at(greyed, 10, 10)[0], 0.5f * 0.918f, 1e-4);
}
