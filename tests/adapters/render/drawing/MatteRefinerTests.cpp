#include "Adapters/Render/Drawing/MatteRefiner.hpp"
#include "Adapters/Render/Drawing/Blur.hpp"
#include "Adapters/Render/PreviewService.hpp"
#include "Adapters/Render/Drawing/Tiles.hpp"
#include "Core/Picture/Color/ColorMath.hpp"
#include "Core/Picture/Compositing.hpp"
#include "Core/Picture/Color/DespillCube.hpp"
#include "Core/Picture/Steps/CubeStep.hpp"
#include "tests/adapters/render/PictureFixtures.hpp"

#include <gtest/gtest.h>

#include <cmath>

using namespace korvel;
using namespace korvel::pictures;

namespace {
constexpr int W = 48, H = 27;
MatteRefiner refiner(bool despill, int w = W, int h = H) { return MatteRefiner{render::RenderCanvas(RenderSize{w, h}), despill}; }
RGBAImage grey(float v) { return solid(W, H, v, v, v); }

// The refinement as whole-canvas passes, one picture per step: what the
// refiner drew before it read its blur back only where the mask is partial.
RGBAImage wholeCanvasPasses(const MatteRefiner& r, const RGBAImage& picture, const RGBAImage& mask, const RGBAImage& fill) {
    const int w = r.canvas.pixelWidth(), h = r.canvas.pixelHeight();
    const size_t n = static_cast<size_t>(w) * h;
    std::vector<float> raw = r.plane(mask), inside(n), m4(n);
    for (size_t i = 0; i < n; ++i) {
        inside[i] = std::clamp(raw[i] * 1.02f, 0.0f, 1.0f);
        m4[i] = inside[i] * inside[i] * (inside[i] * inside[i]);
    }
    RGBAImage base = RGBAImage::transparent(0, 0, w, h);
    Compositing::over(base, picture, 0, h);
    RGBAImage weighted = base;
    for (size_t i = 0; i < n; ++i)
        for (int c = 0; c < 3; ++c) weighted.pixels[i * 4 + c] *= m4[i];
    double limit = std::hypot(r.canvas.width, r.canvas.height);
    RGBAImage colour = Blur::gaussian(weighted, r.decontaminationSigma(), limit);
    std::vector<float> weight = Blur::gaussian(m4, w, h, r.decontaminationSigma(), limit);
    RGBAImage foreground = base;
    for (size_t i = 0; i < n; ++i)
        for (int c = 0; c < 3; ++c) {
            float estimate = weight[i] >= 1e-6f ? ColorMath::sane(colour.pixels[i * 4 + c] / weight[i]) : 0.0f;
            foreground.pixels[i * 4 + c] = ColorMath::sane(base.pixels[i * 4 + c] * m4[i] + estimate * (1 - m4[i]));
        }
    if (r.despillGreen) {
        RGBAImage core = RGBAImage::transparent(0, 0, w, h);
        for (size_t i = 0; i < n; ++i) {
            float v = raw[i] > 250.0f / 255.0f ? 1.0f : 0.0f;
            core.pixels[i * 4] = core.pixels[i * 4 + 1] = core.pixels[i * 4 + 2] = v;
            core.pixels[i * 4 + 3] = 1;
        }
        RGBAImage eroded = Blur::eroded(core, static_cast<float>(r.erosionRadius()));
        RGBAImage despilled = foreground;
        PixelChain chain(ColorSpace::itur709);
        chain.add(std::make_unique<CubeStep>(DespillCube::values(), DespillCube::dimension));
        Tiles::run(despilled, chain);
        RGBAImage mixed = RGBAImage::transparent(0, 0, w, h);
        Compositing::blendWithMask(foreground, despilled, eroded, mixed, 0, h);
        foreground = std::move(mixed);
    }
    RGBAImage insideMask = RGBAImage::transparent(0, 0, w, h);
    for (size_t i = 0; i < n; ++i) insideMask.pixels[i * 4] = inside[i];
    RGBAImage out = RGBAImage::transparent(0, 0, w, h);
    Compositing::blendWithMask(foreground, fill, insideMask, out, 0, h);
    return out;
}

// A soft disc of coverage, hard in its middle, over a rectangle of the canvas.
RGBAImage softDisc(int x, int y, int w, int h) {
    RGBAImage m = RGBAImage::transparent(x, y, w, h);
    for (int j = 0; j < h; ++j)
        for (int i = 0; i < w; ++i) {
            double d = std::hypot((i - w * 0.5) / (w * 0.35), (j - h * 0.55) / (h * 0.4));
            float v = static_cast<float>(std::clamp((1 - d) * 5, 0.0, 1.0));
            float* p = m.row(j) + i * 4;
            p[0] = p[1] = p[2] = v;
            p[3] = 1;
        }
    return m;
}

// Sharp colour detail with some transparency.
RGBAImage striped(int x, int y, int w, int h) {
    RGBAImage image = RGBAImage::transparent(x, y, w, h);
    for (int j = 0; j < h; ++j)
        for (int i = 0; i < w; ++i) {
            float* p = image.row(j) + i * 4;
            float a = i < w / 5 ? 0.6f : 1.0f;
            p[0] = a * (((i / 5 + j / 3) % 2) ? 0.9f : 0.1f);
            p[1] = a * (0.2f + 0.7f * j / h);
            p[2] = a * (i % 4 == 0 ? 1.1f : 0.3f);
            p[3] = a;
        }
    return image;
}
} // namespace

TEST(MatteRefiner, DrawsWhatTheWholeCanvasPassesDrew) {
    struct Case {
        int width, height;
        bool despill, offset;
    };
    // Blurs of 0.6, 2 and (shrunk) 6 pixels, on a canvas the shrunk copy
    // divides and one it does not; pictures, masks and fills that cover the
    // canvas or only part of it.
    const Case cases[] = {{192, 108, false, false}, {192, 108, true, true}, {640, 360, false, true},
                          {640, 360, true, false},   {1920, 1080, false, false}, {1920, 1080, true, true},
                          {1921, 1081, false, true}};
    for (const Case& c : cases) {
        MatteRefiner r = refiner(c.despill, c.width, c.height);
        int ox = c.offset ? c.width / 10 : 0, oy = c.offset ? c.height / 12 : 0;
        RGBAImage picture = striped(ox, oy, c.width - 2 * ox, c.height - oy);
        RGBAImage mask = softDisc(ox / 2, 0, c.width - ox, c.height - oy / 2);
        RGBAImage fill = striped(0, oy, c.width - ox, c.height - oy);
        RGBAImage drawn = r.replacingBackground(picture, mask, fill);
        RGBAImage before = wholeCanvasPasses(r, picture, mask, fill);
        ASSERT_EQ(drawn.width, c.width);
        ASSERT_EQ(drawn.height, c.height);
        double worst = 0;
        for (size_t i = 0; i < drawn.pixels.size(); ++i) worst = std::max(worst, std::fabs(double(drawn.pixels[i]) - before.pixels[i]));
        EXPECT_LE(worst, 1e-5) << c.width << "x" << c.height << (c.despill ? " despilled" : "");
        Picture a = gammaPicture(drawn, {c.width, c.height}), b = gammaPicture(before, {c.width, c.height});
        int codes = 0;
        for (size_t i = 0; i < a.pixels.size(); ++i) codes = std::max(codes, std::abs(a.pixels[i] - b.pixels[i]));
        EXPECT_LE(codes, 1) << "code values apart";
    }
}

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
