// Every vector kernel against the scalar code it stands for, on each
// instruction set compiled in that this processor runs (the baseline too).
#include "Core/Picture/Compositing.hpp"
#include "Core/Picture/Kernels/Kernels.hpp"
#include "Core/Picture/Lanczos.hpp"
#include "Core/Picture/Color/LookCube.hpp"
#include "Core/Picture/PixelChain.hpp"
#include "Core/Picture/Steps/CubeStep.hpp"
#include "Core/Picture/Steps/GainsStep.hpp"
#include "Core/Picture/Steps/GrainStep.hpp"
#include "Core/Picture/Steps/OverStep.hpp"

#include "tests/support/KernelChecks.hpp"

#include <gtest/gtest.h>
#include <hwy/tests/hwy_gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

using namespace korvel;

namespace {
constexpr float inf = std::numeric_limits<float>::infinity();
constexpr float nan = std::numeric_limits<float>::quiet_NaN();

// Extended-range values: mostly in [-0.5, 2], some large, tiny, zero, and
// not numbers at all.
std::vector<float> randomValues(size_t count, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> usual(-0.5f, 2.0f), wide(-300.0f, 300.0f), tiny(-1e-3f, 1e-3f);
    std::uniform_int_distribution<int> pick(0, 99);
    std::vector<float> v(count);
    for (float& x : v) {
        int p = pick(rng);
        x = p < 80 ? usual(rng) : p < 88 ? tiny(rng) : p < 94 ? wide(rng) : p < 96 ? 0.0f : p == 96 ? nan : p == 97 ? inf : p == 98 ? -inf : 1.0f;
    }
    return v;
}

// Pixels whose alpha is 1, 0, a fraction, or out of range like the colours.
std::vector<float> randomPixels(int count, unsigned seed) {
    std::vector<float> v = randomValues(static_cast<size_t>(count) * 4, seed);
    std::mt19937 rng(seed + 1);
    std::uniform_real_distribution<float> fraction(0.0f, 1.0f);
    std::uniform_int_distribution<int> pick(0, 9);
    for (size_t i = 3; i < v.size(); i += 4) {
        int p = pick(rng);
        if (p < 4) v[i] = 1;
        else if (p < 8) v[i] = fraction(rng);
        else if (p == 8) v[i] = 0;
    }
    return v;
}

using KernelChecks::expectClose;

// The same input through the kernels and through the scalar references.
void compare(const std::vector<float>& input, const std::function<void(std::vector<float>&)>& run, const std::string& what) {
    std::vector<float> vector = input, scalar = input;
    Kernels::useReferences(false);
    run(vector);
    Kernels::useReferences(true);
    run(scalar);
    Kernels::useReferences(false);
    expectClose(vector, scalar, what);
}

class KernelTargets : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(KernelTargets);

// Counts that leave every remainder after whole vectors.
const int counts[] = {1, 3, 7, 15, 16, 17, 31, 1000};

TEST_P(KernelTargets, CurvesMatchTheirTablesAndExactFormulas) {
    for (ColorSpace space : {ColorSpace::itur709, ColorSpace::itur2100HLG}) {
        const ColorMath::Curve& curve = ColorMath::curve(space);
        std::string name = space == ColorSpace::itur709 ? "BT.709" : "HLG";
        for (int count : counts) {
            // Opaque pictures too, whose vectors are all of alpha 1.
            for (bool opaque : {false, true}) {
                auto pixels = randomPixels(count, static_cast<unsigned>(count));
                if (opaque)
                    for (size_t i = 3; i < pixels.size(); i += 4) pixels[i] = 1;
                std::string what = name + (opaque ? ", opaque" : "") + ", " + std::to_string(count) + " pixels";
                std::vector<float> vector = pixels, scalar = pixels;
                Kernels::toGamma(vector.data(), count, space);
                PixelChain::toGamma(scalar.data(), count, curve);
                expectClose(vector, scalar, what + ", to gamma");
                vector = scalar = pixels;
                Kernels::fromGamma(vector.data(), count, space);
                PixelChain::fromGamma(scalar.data(), count, curve);
                expectClose(vector, scalar, what + ", from gamma");
            }
        }
    }
}

// Densely over the table's range and geometrically far past it, both signs:
// the curve's polynomials hold everywhere, not only at random samples.
TEST_P(KernelTargets, TheBT709CurveHoldsAcrossItsWholeRange) {
    std::vector<float> values;
    for (int i = 0; i <= 100000; ++i) values.push_back(2.5f * static_cast<float>(i) / 100000);
    for (float v = 1e-9f; v < 1e30f; v *= 1.001f) values.push_back(v);
    std::vector<float> pixels;
    for (float v : values) pixels.insert(pixels.end(), {v, -v, v * 0.999f, 1.0f});
    const int count = static_cast<int>(pixels.size() / 4);
    const ColorMath::Curve& curve = ColorMath::curve(ColorSpace::itur709);
    std::vector<float> vector = pixels, scalar = pixels;
    Kernels::toGamma(vector.data(), count, ColorSpace::itur709);
    PixelChain::toGamma(scalar.data(), count, curve);
    expectClose(vector, scalar, "to gamma");
    vector = scalar = pixels;
    Kernels::fromGamma(vector.data(), count, ColorSpace::itur709);
    PixelChain::fromGamma(scalar.data(), count, curve);
    expectClose(vector, scalar, "from gamma");
}

TEST_P(KernelTargets, ACurveKeepsInfinitiesAndZeroesNaN) {
    std::vector<float> p{inf, -inf, nan, 1, 0.5f, -2, 0, 1};
    Kernels::toGamma(p.data(), 2, ColorSpace::itur709);
    EXPECT_EQ(p[0], inf);
    EXPECT_EQ(p[1], -inf);
    EXPECT_EQ(p[2], 0.0f);
    EXPECT_NEAR(p[4], ColorMath::encode709(0.5f), 1e-5);
    EXPECT_NEAR(p[5], ColorMath::encode709(-2), 1e-5);
    EXPECT_EQ(p[6], 0.0f);
    EXPECT_EQ(p[7], 1.0f);
}

TEST_P(KernelTargets, AChainOfStepsMatchesItsReference) {
    for (ColorSpace space : {ColorSpace::itur709, ColorSpace::itur2100HLG}) {
        PixelChain chain(space);
        chain.add(std::make_unique<GainsStep>(1.1f, 0.9f, 1.0f));
        for (int count : counts) {
            compare(randomPixels(count, 7u + static_cast<unsigned>(count)),
                    [&](std::vector<float>& p) { chain.run(p.data(), count, 0, 0); }, "chain");
        }
    }
}

// Grain as the last step in gamma takes the span back to linear in its own
// pass: what the passes one by one give, to the bit, and the references'.
TEST_P(KernelTargets, GrainTakesTheSpanBackAsThePassesDo) {
    auto values = GrainGrid::tile(9);
    auto tile = std::make_shared<std::vector<float>>(values.size());
    for (size_t i = 0; i < values.size(); ++i) (*tile)[i] = GrainGrid::byteOf(values[i]) / 255.0f;
    auto cube = std::make_shared<const std::vector<float>>(LookCube::values("warm_cinema", 1.0));
    const CubeStep look(cube, LookCube::dimension);
    const GrainStep grain(tile, {37, 400}, 1.5, 0.3, 1080);
    auto layer = std::make_shared<RGBAImage>(RGBAImage::blank(0, 0, 1200, 4));
    auto layerValues = randomPixels(1200 * 4, 43);
    std::copy(layerValues.begin(), layerValues.end(), layer->pixels.begin());
    const OverStep over(layer);
    for (ColorSpace space : {ColorSpace::itur709, ColorSpace::itur2100HLG}) {
        PixelChain chain(space);
        chain.add(std::make_unique<CubeStep>(cube, LookCube::dimension));
        chain.add(std::make_unique<GrainStep>(tile, GrainOffset{37, 400}, 1.5, 0.3, 1080));
        chain.add(std::make_unique<OverStep>(layer));
        // Grain followed by another gamma step keeps to its own pass.
        PixelChain before(space);
        before.add(std::make_unique<GrainStep>(tile, GrainOffset{37, 400}, 1.5, 0.3, 1080));
        before.add(std::make_unique<GainsStep>(1.1f, 0.9f, 1.0f));
        for (int count : counts) {
            auto pixels = randomPixels(count, 41u + static_cast<unsigned>(count));
            std::string what = std::string(space == ColorSpace::itur709 ? "BT.709" : "HLG") + ", " +
                               std::to_string(count) + " pixels";
            std::vector<float> fused = pixels, passes = pixels;
            chain.run(fused.data(), count, 3, 2);
            Kernels::toGamma(passes.data(), count, space);
            look.run(passes.data(), count, 3, 2);
            grain.run(passes.data(), count, 3, 2);
            Kernels::fromGamma(passes.data(), count, space);
            over.run(passes.data(), count, 3, 2);
            Kernels::sanitise(passes.data(), passes.size());
            EXPECT_EQ(fused, passes) << what;
            compare(pixels, [&](std::vector<float>& p) { chain.run(p.data(), count, 3, 2); }, "look and grain, " + what);
            compare(pixels, [&](std::vector<float>& p) { before.run(p.data(), count, 3, 2); }, "grain and gains, " + what);
        }
    }
}

// Spans that arrive already in the gamma space skip only the way into it:
// to the bit what the chain gives for them once encoded, and the
// references' too.
TEST_P(KernelTargets, AChainEnteredInGammaSkipsOnlyTheWayIn) {
    auto cube = std::make_shared<const std::vector<float>>(LookCube::values("warm_cinema", 1.0));
    for (ColorSpace space : {ColorSpace::itur709, ColorSpace::itur2100HLG}) {
        PixelChain chain(space);
        chain.add(std::make_unique<CubeStep>(cube, LookCube::dimension));
        chain.add(std::make_unique<GainsStep>(1.1f, 0.9f, 1.0f));
        ASSERT_EQ(chain.entry(), PixelDomain::gammaStraight);
        for (int count : counts) {
            // Opaque pixels, as a picture read in its own coding is.
            auto pixels = randomPixels(count, 53u + static_cast<unsigned>(count));
            for (size_t i = 3; i < pixels.size(); i += 4) pixels[i] = 1;
            std::vector<float> encoded = pixels;
            Kernels::toGamma(encoded.data(), count, space);
            std::vector<float> entered = encoded, linear = pixels;
            chain.run(entered.data(), count, 0, 0, PixelDomain::linearPremultiplied, PixelDomain::gammaStraight);
            chain.run(linear.data(), count, 0, 0);
            const std::string what = std::string(space == ColorSpace::itur709 ? "BT.709" : "HLG") + ", " +
                                     std::to_string(count) + " pixels";
            EXPECT_EQ(entered, linear) << what;
            compare(
                encoded,
                [&](std::vector<float>& p) {
                    chain.run(p.data(), count, 0, 0, PixelDomain::linearPremultiplied, PixelDomain::gammaStraight);
                },
                "entered in gamma, " + what);
        }
    }
}

TEST_P(KernelTargets, SanitisingZeroesWhatIsNotANumber) {
    auto values = randomValues(1001, 3);
    std::vector<float> got = values;
    Kernels::sanitise(got.data(), got.size());
    for (size_t i = 0; i < values.size(); ++i) ASSERT_EQ(got[i], ColorMath::sane(values[i])) << i;
}

TEST_P(KernelTargets, OverMatchesTheStep) {
    for (int count : counts) {
        auto layer = std::make_shared<RGBAImage>(RGBAImage::blank(2, 5, count, 1));
        auto values = randomPixels(count, 11u + static_cast<unsigned>(count));
        std::copy(values.begin(), values.end(), layer->pixels.begin());
        OverStep step(layer);
        // The span starts left of the layer and ends past it.
        compare(randomPixels(count + 6, 5u), [&](std::vector<float>& p) { step.run(p.data(), count + 6, -1, 5); },
                "over, " + std::to_string(count) + " pixels");
    }
}

TEST_P(KernelTargets, CompositingOverMatchesItsReference) {
    struct Case {
        int x, y, w, h;
    };
    // A layer inside the picture, across each edge, and beside it.
    for (Case c : {Case{5, 3, 17, 9}, Case{-4, -2, 31, 7}, Case{40, 20, 13, 30}, Case{60, 0, 5, 5}}) {
        RGBAImage layer = RGBAImage::blank(c.x, c.y, c.w, c.h);
        auto values = randomPixels(c.w * c.h, static_cast<unsigned>(c.w));
        std::copy(values.begin(), values.end(), layer.pixels.begin());
        compare(randomPixels(50 * 33, 9u), [&](std::vector<float>& p) {
            RGBAImage picture = RGBAImage::blank(0, 0, 50, 33);
            std::copy(p.begin(), p.end(), picture.pixels.begin());
            Compositing::over(picture, layer, 0, 33);
            p.assign(picture.pixels.begin(), picture.pixels.end());
        }, "compositing over at " + std::to_string(c.x) + ", " + std::to_string(c.y));
    }
}

TEST_P(KernelTargets, TheCubeMatchesTheStep) {
    for (const char* look : {"warm_cinema", "cool_film"}) {
        for (double strength : {1.0, 1.7}) {
            CubeStep step(std::make_shared<const std::vector<float>>(LookCube::values(look, strength)), LookCube::dimension);
            for (int count : counts) {
                compare(randomPixels(count, 31u + static_cast<unsigned>(count)),
                        [&](std::vector<float>& p) { step.run(p.data(), count, 0, 0); },
                        std::string(look) + " cube, " + std::to_string(count) + " pixels");
            }
        }
    }
}

TEST_P(KernelTargets, GrainMatchesTheStep) {
    auto values = GrainGrid::tile(9);
    auto tile = std::make_shared<std::vector<float>>(values.size());
    for (size_t i = 0; i < values.size(); ++i) (*tile)[i] = GrainGrid::byteOf(values[i]) / 255.0f;
    struct Case {
        double scale;
        GrainOffset offset;
        double strength;
        int x, y;
    };
    // Canvases from a thumbnail to 4K, offsets on both sides of the tile.
    for (Case c : {Case{1, {0, 0}, 0.3, 0, 0}, Case{1.5, {37, -91}, 0.3, 13, 400}, Case{0.25, {-600, 1000}, 1, 511, 20},
                   Case{3.5555, {123456789, -987654321}, 0.8, 3000, 2100}, Case{1920.0 / 1080, {5, 7}, 2, 1899, 1079}}) {
        GrainStep step(tile, c.offset, c.scale, c.strength, 2160);
        for (int count : counts) {
            compare(randomPixels(count, 21u + static_cast<unsigned>(count)),
                    [&](std::vector<float>& p) { step.run(p.data(), count, c.x, c.y); },
                    "grain at scale " + std::to_string(c.scale) + ", " + std::to_string(count) + " pixels");
        }
    }
}

// Along a row the grain is level() at each pixel, on both roads; with the
// offsets frames have (within the tile) that is within 1e-5 of the walk that
// stepped u from the span's first pixel. Far out the stepped walk drifts.
TEST_P(KernelTargets, GrainAlongARowIsItsLevelAtEachPixel) {
    auto values = GrainGrid::tile(5);
    auto tile = std::make_shared<std::vector<float>>(values.size());
    for (size_t i = 0; i < values.size(); ++i) (*tile)[i] = GrainGrid::byteOf(values[i]) / 255.0f;
    struct Case {
        double scale;
        GrainOffset offset;
        int x, y, count;
    };
    // Tile columns a vector apart and further, wrapping, far from the origin.
    for (Case c : {Case{1920.0 / 1080, {300, 20}, 0, 7, 256}, Case{1.5, {100, 3}, 1530, 900, 90},
                   Case{1, {511, 0}, 255, 0, 300}, Case{0.3, {5, 5}, 17, 33, 600}, Case{2, {-700, 9}, 40, 1, 77},
                   Case{3.5555, {123456789, -987654321}, 3000, 2100, 1000}}) {
        const double strength = 0.7, inverse = 1 / c.scale;
        const float amplitude = static_cast<float>(0.8 * strength), grey = (1 - amplitude) * 0.5f;
        GrainStep step(tile, c.offset, c.scale, strength, 2160);
        auto pixels = randomPixels(c.count, static_cast<unsigned>(c.count));
        std::vector<float> levels = pixels, walked = pixels;
        double u = (c.x + 0.5) * inverse - static_cast<double>(c.offset.x) - 0.5;
        const float* t = tile->data();
        double v = (2160 - c.y - 0.5) * inverse - static_cast<double>(c.offset.y) - 0.5;
        auto fv = static_cast<int64_t>(std::floor(v));
        float dv = static_cast<float>(v - static_cast<double>(fv));
        const float* lower = t + static_cast<size_t>(511 - (fv & 511)) * 512;
        const float* upper = t + static_cast<size_t>(511 - ((fv + 1) & 511)) * 512;
        for (int k = 0; k < c.count; ++k, u += inverse) {
            float s = amplitude * step.level(c.x + k, c.y) + grey;
            auto fu = static_cast<int64_t>(std::floor(u));
            float du = static_cast<float>(u - static_cast<double>(fu));
            int u0 = static_cast<int>(fu & 511), u1 = (u0 + 1) & 511;
            float bottom = lower[u0] + (lower[u1] - lower[u0]) * du, top = upper[u0] + (upper[u1] - upper[u0]) * du;
            float stepped = amplitude * (bottom + (top - bottom) * dv) + grey;
            for (int ch = 0; ch < 3; ++ch) {
                levels[static_cast<size_t>(k) * 4 + ch] = GrainStep::softLight(pixels[static_cast<size_t>(k) * 4 + ch], s);
                walked[static_cast<size_t>(k) * 4 + ch] = GrainStep::softLight(pixels[static_cast<size_t>(k) * 4 + ch], stepped);
            }
        }
        for (bool scalar : {false, true}) {
            std::vector<float> got = pixels;
            Kernels::useReferences(scalar);
            step.run(got.data(), c.count, c.x, c.y);
            Kernels::useReferences(false);
            std::string what = std::string(scalar ? "reference" : "kernel") + " grain at scale " + std::to_string(c.scale);
            expectClose(got, levels, what + ", against level()");
            if (c.offset.x >= 0 && c.offset.x < 512) expectClose(got, walked, what + ", against the stepped walk");
        }
    }
}

TEST_P(KernelTargets, LanczosMatchesItsScalarPasses) {
    RGBAImage source = RGBAImage::blank(0, 0, 203, 97);
    auto values = randomPixels(203 * 97, 4);
    for (float& v : values)
        if (!std::isfinite(v) || std::fabs(v) > 10) v = 0.5f; // a picture of the working space
    std::copy(values.begin(), values.end(), source.pixels.begin());
    struct Case {
        double sx, sy;
        bool clamp;
    };
    for (Case c : {Case{0.5, 0.5, true}, Case{0.37, 0.81, false}, Case{2.0, 0.6, true}, Case{0.9, 1.7, false}}) {
        RGBAImage out = RGBAImage::transparent(3, 2, static_cast<int>(203 * c.sx) - 3, static_cast<int>(97 * c.sy) - 2);
        Lanczos::Plan plan = Lanczos::plan(source, c.sx, c.sy, 1.25, -0.5, c.clamp, out);
        compare(std::vector<float>(out.pixels.begin(), out.pixels.end()), [&](std::vector<float>& p) {
            RGBAImage o = out;
            Lanczos::draw(plan, source, o, 0, 1000);
            p.assign(o.pixels.begin(), o.pixels.end());
        }, "lanczos " + std::to_string(c.sx) + " x " + std::to_string(c.sy));
    }
}

} // namespace
