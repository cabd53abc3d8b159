#include "Core/Analysis/MatteQualityMeter.hpp"

#include <gtest/gtest.h>

#include <vector>

using namespace korvel;

namespace {
std::vector<uint8_t> filled(size_t n, uint8_t v) { return std::vector<uint8_t>(n, v); }
} // namespace

TEST(MatteQualityMeter, EmptyMeter) {
    EXPECT_EQ(MatteQualityMeter().result(), MatteQualityValues{});
}

TEST(MatteQualityMeter, CoverageRingAndOpacityEdge) {
    MatteQualityMeter full;
    full.add(filled(100 * 100, 128), 100, 100);
    EXPECT_EQ(full.result().meanCoverage, 1);
    EXPECT_EQ(full.result().outerRingOpaque, 1);
    MatteQualityMeter clear;
    clear.add(filled(100 * 100, 127), 100, 100);
    EXPECT_EQ(clear.result().meanCoverage, 0);
    std::vector<uint8_t> inner(100 * 100, 0);
    for (int y = 5; y < 95; ++y)
        for (int x = 5; x < 95; ++x) inner[size_t(y * 100 + x)] = 255;
    MatteQualityMeter m;
    m.add(inner, 100, 100);
    EXPECT_EQ(m.result().outerRingOpaque, 0);
    EXPECT_DOUBLE_EQ(m.result().meanCoverage, 0.81);
}

TEST(MatteQualityMeter, LargestDrop) {
    auto half = filled(10, 0);
    for (int i = 0; i < 5; ++i) half[size_t(i)] = 255;
    auto fifth = filled(10, 0);
    fifth[0] = fifth[1] = 255;
    MatteQualityMeter m;
    m.add(half, 10, 1);
    m.add(fifth, 10, 1);
    m.add(half, 10, 1);
    EXPECT_DOUBLE_EQ(m.result().largestAreaDrop, 0.6);
    MatteQualityMeter fromZero;
    fromZero.add(filled(10, 0), 10, 1);
    fromZero.add(half, 10, 1);
    EXPECT_EQ(fromZero.result().largestAreaDrop, 0);
}

TEST(MatteQualityMeter, StretchesWithoutAPerson) {
    auto mask = filled(4, 255);
    auto absent = filled(1000, 0);
    absent[0] = absent[1] = absent[2] = absent[3] = 255; // share 0.004
    auto present = filled(10, 0);
    present[0] = present[1] = present[2] = 255; // share 0.3
    MatteQualityMeter m;
    for (int64_t t : {0, 200'000, 400'000}) m.add(mask, 2, 2, std::span<const uint8_t>(absent), t);
    m.add(mask, 2, 2, std::span<const uint8_t>(present), 600'000);
    EXPECT_EQ(m.result().withoutPerson, (std::vector<MatteQualityValues::Span>{{0, 600'000}}));
    EXPECT_NEAR(*m.result().personCoverage, (3 * 0.004 + 0.3) / 4, 1e-12);

    MatteQualityMeter shortGap;
    for (int64_t t : {0, 200'000}) shortGap.add(mask, 2, 2, std::span<const uint8_t>(absent), t);
    shortGap.add(mask, 2, 2, std::span<const uint8_t>(present), 400'000);
    EXPECT_TRUE(shortGap.result().withoutPerson.empty());

    MatteQualityMeter open;
    for (int64_t t = 0; t <= 800'000; t += 200'000) open.add(mask, 2, 2, std::span<const uint8_t>(absent), t);
    EXPECT_EQ(open.result().withoutPerson, (std::vector<MatteQualityValues::Span>{{0, 1'000'000}}));
}

TEST(MatteQualityMeter, PeopleVerdictHoldsBackAbsences) {
    MatteQualityMeter m;
    m.notePeople(0.3f);
    auto none = filled(10, 0);
    for (int64_t t = 0; t <= 800'000; t += 200'000) m.add(filled(4, 0), 2, 2, std::span<const uint8_t>(none), t);
    EXPECT_TRUE(m.result().withoutPerson.empty());
    m.notePeople(0.1f);
    EXPECT_EQ(m.result().peopleSeen, 0.5);
}

TEST(MatteQualityMeter, ShortMaskLeavesTheMeterAlone) {
    MatteQualityMeter m;
    auto person = filled(10, 0);
    m.add(filled(3, 255), 2, 2, std::span<const uint8_t>(person), 0);
    EXPECT_EQ(m.result(), MatteQualityValues{});
}
