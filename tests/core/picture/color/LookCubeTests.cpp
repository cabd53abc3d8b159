#include "Core/Picture/Color/LookCube.hpp"

#include <gtest/gtest.h>

#include <cmath>

using namespace korvel;

namespace {
const float* entry(const std::vector<float>& cube, int r, int g, int b) {
    return &cube[static_cast<size_t>(r + 33 * g + 1089 * b) * 4];
}
} // namespace

TEST(LookCube, NamesAndSize) {
    EXPECT_EQ(LookCube::names(), (std::vector<std::string>{"cool_film", "warm_cinema"}));
    EXPECT_EQ(LookCube::values("warm_cinema", 1).size(), 143748u);
    EXPECT_THROW(LookCube::values("Warm_Cinema", 1), LookCube::Failure);
    try {
        LookCube::values("sepia", 1);
    } catch (const LookCube::Failure& f) {
        EXPECT_EQ(f.look, "sepia");
    }
}

TEST(LookCube, StrengthZeroIsTheIdentity) {
    for (const auto& name : LookCube::names()) {
        auto cube = LookCube::values(name, 0);
        for (int b = 0; b < 33; ++b)
            for (int g = 0; g < 33; ++g)
                for (int r = 0; r < 33; ++r) {
                    const float* e = entry(cube, r, g, b);
                    ASSERT_EQ(e[0], r / 32.0f);
                    ASSERT_EQ(e[1], g / 32.0f);
                    ASSERT_EQ(e[2], b / 32.0f);
                    ASSERT_EQ(e[3], 1.0f);
                }
    }
}

TEST(LookCube, CornersAtFullStrength) {
    auto warm = LookCube::values("warm_cinema", 1);
    auto cool = LookCube::values("cool_film", 1);
    const float* black = entry(warm, 0, 0, 0);
    EXPECT_FLOAT_EQ(black[0], 0.01f);
    EXPECT_FLOAT_EQ(black[1], 0.005f);
    EXPECT_FLOAT_EQ(black[2], 0.0f);
    EXPECT_FLOAT_EQ(black[3], 1.0f);
    const float* coolBlack = entry(cool, 0, 0, 0);
    EXPECT_FLOAT_EQ(coolBlack[0], 0.0f);
    EXPECT_FLOAT_EQ(coolBlack[1], 0.004f);
    EXPECT_FLOAT_EQ(coolBlack[2], 0.012f);
    const float* white = entry(warm, 32, 32, 32);
    EXPECT_EQ(white[0], 1.0f);
    EXPECT_EQ(white[1], 1.0f);
    EXPECT_NEAR(white[2], 0.93f, 1e-6);
}

TEST(LookCube, AnInnerPointFollowsTheRecipeAndTheLayout) {
    // Red index fastest: (r, g, b) = (16, 8, 24), re-derived in double.
    auto cube = LookCube::values("warm_cinema", 0.5);
    auto S = [](double x) { return 0.75 * x + 0.25 * (x * x * (3 - 2 * x)); };
    double r = 0.5, g = 0.25, b = 0.75;
    double y = 0.0722 * S(b) + 0.7152 * S(g) + 0.2126 * S(r);
    double outR = std::clamp(0.01 + 1.04 * (y + 1.08 * (S(r) - y)), 0.0, 1.0);
    double outG = std::clamp(0.005 + 1.0 * (y + 1.08 * (S(g) - y)), 0.0, 1.0);
    double outB = std::clamp(0.0 + 0.93 * (y + 1.08 * (S(b) - y)), 0.0, 1.0);
    const float* e = entry(cube, 16, 8, 24);
    EXPECT_NEAR(e[0], r + (outR - r) * 0.5, 1e-5);
    EXPECT_NEAR(e[1], g + (outG - g) * 0.5, 1e-5);
    EXPECT_NEAR(e[2], b + (outB - b) * 0.5, 1e-5);
}

TEST(GrainGrid, SplitMixIsThePublishedGenerator) {
    // The generator's published first outputs from state 0.
    EXPECT_EQ(SplitMix64::output(0, 1), 0xE220A8397B1DCDAFULL);
    EXPECT_EQ(SplitMix64::output(0, 2), 0x6E789E6AA1B965F4ULL);
}

TEST(GrainGrid, TilesAreSeededAndBounded) {
    auto a = GrainGrid::tile(0);
    ASSERT_EQ(a.size(), 262144u);
    EXPECT_EQ(a, GrainGrid::tile(0));
    EXPECT_NE(a, GrainGrid::tile(1));
    double mean = 0;
    for (float v : a) {
        ASSERT_GE(v, -1.0f);
        ASSERT_LT(v, 1.0f);
        mean += v;
    }
    EXPECT_NEAR(mean / a.size(), 0, 0.01);
    // Value 0 of seed 0 from the generator's first four outputs.
    float u[4];
    for (int i = 0; i < 4; ++i) u[i] = static_cast<float>(SplitMix64::output(0, i + 1) >> 40) / 16777216.0f;
    EXPECT_EQ(a[0], (((u[0] + u[1]) + u[2]) + u[3]) * 0.5f - 1.0f);
    EXPECT_EQ(GrainGrid::byteOf(-1.0f), 0);
    EXPECT_EQ(GrainGrid::byteOf(2 * (1.0f - 1.0f / 16777216.0f) - 1.0f), 254);
}

TEST(GrainGrid, OffsetsFollowSeedAndSourceTime) {
    for (int64_t seed : {0, 7, -3}) {
        for (int64_t us : {0, 33367, 1000000}) {
            GrainOffset o = GrainGrid::offset(seed, us);
            uint64_t state = static_cast<uint64_t>(seed) * 0x9E3779B97F4A7C15ULL ^ static_cast<uint64_t>(us);
            EXPECT_EQ(o.x, static_cast<int64_t>(SplitMix64::output(state, 1) & 511));
            EXPECT_EQ(o.y, static_cast<int64_t>(SplitMix64::output(state, 2) & 511));
            EXPECT_GE(o.x, 0);
            EXPECT_LE(o.y, 511);
        }
    }
    EXPECT_NE(GrainGrid::offset(7, 0), GrainGrid::offset(7, 33367));
    EXPECT_DOUBLE_EQ(GrainGrid::cellSize(1920), 1920.0 / 1080);
}
