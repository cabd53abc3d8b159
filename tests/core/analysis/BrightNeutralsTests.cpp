#include "Core/Analysis/BrightNeutrals.hpp"

#include <gtest/gtest.h>

using namespace korvel;

namespace {
BrightNeutrals with(std::initializer_list<std::array<int, 3>> pixels, bool bytes = true) {
    BrightNeutrals b;
    for (auto p : pixels) {
        if (bytes) b.add(uint8_t(p[0]), uint8_t(p[1]), uint8_t(p[2]));
        else b.add(double(p[0]), double(p[1]), double(p[2]));
    }
    return b;
}
} // namespace

TEST(BrightNeutrals, EmptyAndRefusedPixelsReadNothing) {
    EXPECT_FALSE(BrightNeutrals().reading());
    EXPECT_FALSE(with({{255, 255, 255}, {255, 255, 255}}).reading()); // luma 255 is above 253
    EXPECT_FALSE(with({{254, 254, 254}}).reading());
    EXPECT_FALSE(with({{85, 85, 85}}).reading());
    EXPECT_FALSE(with({{200, 200, 0}}).reading()); // a zero channel
    EXPECT_FALSE(with({{200, 200, 0}}, false).reading());
}

TEST(BrightNeutrals, LumaBoundsAreAccepted) {
    for (bool bytes : {true, false}) {
        for (int v : {86, 253}) {
            auto r = with({{v, v, v}}, bytes).reading();
            ASSERT_TRUE(r) << v;
            EXPECT_DOUBLE_EQ(r->g, v / 255.0);
        }
    }
}

TEST(BrightNeutrals, OneGreyPixelReadsItself) {
    auto r = with({{200, 200, 200}}).reading();
    ASSERT_TRUE(r);
    EXPECT_NEAR(r->r, 200 / 255.0, 1e-12);
    EXPECT_NEAR(r->g, 200 / 255.0, 1e-12);
    EXPECT_NEAR(r->b, 200 / 255.0, 1e-12);
}

TEST(BrightNeutrals, TintRowsDecideWhichLimitsCount) {
    // Ratio 1.5125 lands in row 23: beside a darker grey it wins the
    // brightest tenth only at limits 23 to 40.
    for (bool bytes : {true, false}) {
        auto r = with({{121, 100, 80}, {90, 90, 90}}, bytes).reading();
        ASSERT_TRUE(r);
        EXPECT_NEAR(r->r, (23 * 90 / 255.0 + 18 * 121 / 255.0) / 41, 1e-12);
        EXPECT_NEAR(r->b, (23 * 90 / 255.0 + 18 * 80 / 255.0) / 41, 1e-12);
    }
    // Ratio exactly 1.6 is accepted (row 40, clamped).
    auto edge = with({{128, 100, 80}}).reading();
    ASSERT_TRUE(edge);
    EXPECT_DOUBLE_EQ(edge->r, 128 / 255.0);
    EXPECT_FALSE(with({{129, 100, 80}}).reading());
}

TEST(BrightNeutrals, ByteRowsAreExactOnRowBoundaries) {
    // 150 / 100 is exactly 1.5: row 20. In floating point the quotient comes
    // out a hair above 20 and the pixel would land in row 21.
    BrightNeutrals b;
    b.add(uint8_t(100), uint8_t(100), uint8_t(100)); // row 0, luma 100
    b.add(uint8_t(150), uint8_t(120), uint8_t(100)); // row 20, luma 125
    auto r = b.reading();
    ASSERT_TRUE(r);
    // Limits 0-19 see the grey alone; 20-40 see both, and the brighter
    // tinted pixel fills their brightest tenth.
    EXPECT_NEAR(r->r, (20 * 100 / 255.0 + 21 * 150 / 255.0) / 41, 1e-12);
    EXPECT_NEAR(r->g, (20 * 100 / 255.0 + 21 * 120 / 255.0) / 41, 1e-12);
}

TEST(BrightNeutrals, ReadingLeavesTheHistogram) {
    BrightNeutrals b;
    b.add(uint8_t(200), uint8_t(200), uint8_t(200));
    auto first = b.reading();
    EXPECT_EQ(b.reading(), first);
    b.add(uint8_t(100), uint8_t(100), uint8_t(100));
    ASSERT_TRUE(b.reading());
}
