// The matte's vector row against its scalar reference, on each instruction
// set compiled in that this processor runs (the baseline too).
#include "Core/Picture/Kernels/MatteKernels.hpp"

#include <gtest/gtest.h>
#include <hwy/tests/hwy_gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

using namespace korvel;

namespace {
constexpr float inf = std::numeric_limits<float>::infinity();
constexpr float nan = std::numeric_limits<float>::quiet_NaN();

// Values in and past [0, 1], coverage that is solid, empty, partial or just
// short of either, and a few that are not numbers.
std::vector<float> pixels(int count, unsigned seed, bool coverage) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> usual(-0.5f, 2.0f), fraction(0.0f, 1.0f);
    std::uniform_int_distribution<int> pick(0, 99);
    std::vector<float> v(static_cast<size_t>(count) * 4);
    for (float& x : v) {
        int p = pick(rng);
        if (coverage) {
            x = p < 30 ? 1.0f : p < 55 ? 0.0f : p < 65 ? 0.9804f : p < 70 ? 1e-7f : p < 72 ? -0.1f : p < 74 ? nan : p < 75 ? inf : fraction(rng);
        } else {
            x = p < 90 ? usual(rng) : p < 93 ? fraction(rng) : p < 95 ? 0.0f : p < 97 ? nan : p < 98 ? inf : p < 99 ? -inf : 1e30f;
        }
    }
    for (size_t i = 3; i < v.size(); i += 4)
        if (pick(rng) < 50) v[i] = 1;
    return v;
}

class MatteTargets : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(MatteTargets);
} // namespace

TEST_P(MatteTargets, TheRowBlendsAsItsReference) {
    // Counts that leave every remainder after whole vectors.
    for (int count : {1, 3, 7, 15, 16, 17, 31, 1000}) {
        auto picture = pixels(count, 11u + static_cast<unsigned>(count), false);
        auto fill = pixels(count, 23u + static_cast<unsigned>(count), false);
        auto mask = pixels(count, 37u + static_cast<unsigned>(count), true);
        std::vector<float> out(picture.size()), want(picture.size()), inside(static_cast<size_t>(count)),
            wantInside(inside.size());
        MatteKernels::blend(out.data(), inside.data(), picture.data(), mask.data(), fill.data(), count);
        MatteKernels::blendReference(want.data(), wantInside.data(), picture.data(), mask.data(), fill.data(), count);
        for (size_t i = 0; i < inside.size(); ++i) ASSERT_EQ(inside[i], wantInside[i]) << "pixel " << i;
        for (size_t i = 0; i < out.size(); ++i) {
            ASSERT_TRUE(std::isfinite(out[i])) << "value " << i;
            ASSERT_NEAR(out[i], want[i], 1e-5f * std::max(1.0f, std::fabs(want[i]))) << count << " pixels, value " << i;
        }
    }
}

TEST_P(MatteTargets, TheWeightsAreTheReferences) {
    for (int count : {1, 3, 7, 15, 16, 17, 31, 1000}) {
        auto picture = pixels(count, 41u + static_cast<unsigned>(count), false);
        auto mask = pixels(count, 53u + static_cast<unsigned>(count), true);
        std::vector<float> out(picture.size()), want(picture.size());
        MatteKernels::weigh(out.data(), picture.data(), mask.data(), count);
        MatteKernels::weighReference(want.data(), picture.data(), mask.data(), count);
        for (size_t i = 0; i < out.size(); ++i) {
            ASSERT_TRUE(std::isfinite(out[i])) << "value " << i;
            ASSERT_NEAR(out[i], want[i], 1e-5f * std::max(1.0f, std::fabs(want[i]))) << count << " pixels, value " << i;
        }
    }
}

TEST_P(MatteTargets, PartialPixelsArePulledAsTheReference) {
    for (int count : {1, 3, 7, 15, 16, 17, 31, 1000}) {
        auto picture = pixels(count, 59u + static_cast<unsigned>(count), false);
        auto fill = pixels(count, 61u + static_cast<unsigned>(count), false);
        auto mask = pixels(count, 67u + static_cast<unsigned>(count), true);
        // A blur as `weigh` leaves it: its fourth value a weight in [0, 1],
        // now and then too small to divide by.
        auto blurred = pixels(count, 71u + static_cast<unsigned>(count), false);
        for (size_t i = 3; i < blurred.size(); i += 4) blurred[i] = i % 7 == 0 ? 1e-7f : std::fabs(std::sin(blurred[i - 1]));
        // What `blend` left, kept wherever the pixel is not partial.
        auto before = pixels(count, 73u + static_cast<unsigned>(count), false);
        for (float& v : before)
            if (!std::isfinite(v)) v = 0.25f;
        std::vector<float> out = before, want = before;
        MatteKernels::pull(out.data(), picture.data(), mask.data(), fill.data(), blurred.data(), count);
        MatteKernels::pullReference(want.data(), picture.data(), mask.data(), fill.data(), blurred.data(), count);
        int pulled = 0;
        for (size_t i = 0; i < out.size(); ++i) {
            ASSERT_TRUE(std::isfinite(out[i])) << "value " << i;
            ASSERT_NEAR(out[i], want[i], 1e-5f * std::max(1.0f, std::fabs(want[i]))) << count << " pixels, value " << i;
            pulled += i % 4 == 0 && out[i] != before[i];
        }
        if (count == 1000) {
            EXPECT_GT(pulled, 100);
        }
    }
}

TEST(MatteKernels, APartialPixelTakesTheInteriorsColourFromTheBlur) {
    // Inside 0.51: m4 = 0.0677; the blur holds colour (0.3, 0.6, 0.9) at weight 0.5.
    const std::vector<float> picture{0.2f, 0.4f, 0.6f, 1, 0.5f, 0.5f, 0.5f, 1};
    const std::vector<float> mask{0.5f, 0, 0, 1, 1, 1, 1, 1};
    const std::vector<float> fill{0.9f, 0.8f, 0.7f, 1, 0.9f, 0.8f, 0.7f, 1};
    const std::vector<float> blurred{0.15f, 0.3f, 0.45f, 0.5f, 0, 0, 0, 0};
    std::vector<float> out(8, -1.0f);
    MatteKernels::pullReference(out.data(), picture.data(), mask.data(), fill.data(), blurred.data(), 2);
    const float in = 0.51f, m4 = in * in * (in * in);
    const float colour[3] = {0.3f, 0.6f, 0.9f};
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(out[c], (picture[c] * m4 + colour[c] * (1 - m4)) * in + fill[c] * (1 - in), 1e-6f);
    EXPECT_NEAR(out[3], 1.0f, 1e-6f);
    // A solid pixel is left to `blend`.
    for (int c = 4; c < 8; ++c) EXPECT_EQ(out[c], -1.0f);
}

TEST(MatteKernels, WeightsAreTheFourthPowerOfTheHardenedInterior) {
    const std::vector<float> picture{0.2f, 0.4f, 0.6f, 1, 0.5f, 0.5f, 0.5f, 0.5f};
    const std::vector<float> mask{0.5f, 0, 0, 1, 0.99f, 0, 0, 1};
    std::vector<float> out(8);
    MatteKernels::weighReference(out.data(), picture.data(), mask.data(), 2);
    const float m = 0.51f * 0.51f * (0.51f * 0.51f);
    EXPECT_FLOAT_EQ(out[3], m);
    EXPECT_FLOAT_EQ(out[0], 0.2f * m);
    EXPECT_EQ(out[7], 1.0f);
    EXPECT_EQ(out[4], 0.5f);
}

TEST(MatteKernels, SolidPixelsKeepThePictureAndEmptyOnesTakeTheFill) {
    const std::vector<float> picture{0.2f, 0.4f, 0.6f, 1, 0.3f, 0.3f, 0.3f, 0.5f, 0.7f, 0.1f, 0.1f, 1};
    const std::vector<float> mask{1, 1, 1, 1, 0, 0, 0, 1, 0.5f, 0.5f, 0.5f, 1};
    const std::vector<float> fill{0.9f, 0.8f, 0.7f, 1, 0.9f, 0.8f, 0.7f, 1, 0.9f, 0.8f, 0.7f, 1};
    std::vector<float> out(12), inside(3);
    MatteKernels::blendReference(out.data(), inside.data(), picture.data(), mask.data(), fill.data(), 3);
    for (int c = 0; c < 4; ++c) EXPECT_EQ(out[c], picture[c]);
    for (int c = 0; c < 4; ++c) EXPECT_EQ(out[4 + c], fill[4 + c]);
    EXPECT_FLOAT_EQ(inside[2], 0.51f);
    // Left for the caller: only the fill's share so far.
    EXPECT_FLOAT_EQ(out[8], 0.9f * 0.49f);
    EXPECT_FLOAT_EQ(out[11], 1 * 0.51f + 1 * 0.49f);
}
