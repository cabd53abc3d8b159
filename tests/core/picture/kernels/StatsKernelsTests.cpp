// The colour statistics' vector rows against their scalar references, on
// each instruction set compiled in that this processor runs (the baseline too).
#include "Core/Picture/Kernels/StatsKernels.hpp"

#include <gtest/gtest.h>
#include <hwy/tests/hwy_gtest.h>

#include <algorithm>
#include <random>
#include <vector>

using namespace korvel;

namespace {
class StatsTargets : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(StatsTargets);

std::vector<uint8_t> randomRow(int count, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<uint8_t> row(static_cast<size_t>(count) * 4);
    for (uint8_t& v : row) v = static_cast<uint8_t>(byte(rng));
    return row;
}

// Every blue, green and red, one pixel each: lumas that land on a half, and
// a row long enough to fill the vector sums many times over.
std::vector<uint8_t> everyColour() {
    std::vector<uint8_t> row(size_t{1} << 26);
    for (uint32_t c = 0; c < (1u << 24); ++c) {
        row[4 * c] = static_cast<uint8_t>(c);
        row[4 * c + 1] = static_cast<uint8_t>(c >> 8);
        row[4 * c + 2] = static_cast<uint8_t>(c >> 16);
        row[4 * c + 3] = static_cast<uint8_t>(c * 7);
    }
    return row;
}
} // namespace

TEST_P(StatsTargets, LumaIsTheReferenceForEveryColour) {
    const std::vector<uint8_t> all = everyColour();
    const int count = static_cast<int>(all.size() / 4);
    std::vector<double> luma(static_cast<size_t>(count)), want(luma.size());
    std::vector<int32_t> rounded(luma.size()), wantRounded(luma.size());
    StatsKernels::luma(all.data(), count, luma.data(), rounded.data());
    StatsKernels::lumaReference(all.data(), count, want.data(), wantRounded.data());
    const auto differ = std::mismatch(luma.begin(), luma.end(), want.begin());
    EXPECT_TRUE(differ.first == luma.end()) << "colour " << std::hex << (differ.first - luma.begin());
    const auto roundedDiffer = std::mismatch(rounded.begin(), rounded.end(), wantRounded.begin());
    EXPECT_TRUE(roundedDiffer.first == rounded.end()) << "colour " << std::hex << (roundedDiffer.first - rounded.begin());
    EXPECT_EQ(wantRounded.front(), 0);
    EXPECT_EQ(wantRounded.back(), 255);
}

TEST_P(StatsTargets, ShortRowsAreTheReference) {
    // Counts that leave every remainder after whole vectors.
    for (int count : {1, 3, 7, 15, 16, 17, 31, 1000}) {
        const auto row = randomRow(count, 5u + static_cast<unsigned>(count));
        std::vector<double> luma(static_cast<size_t>(count)), want(luma.size());
        std::vector<int32_t> rounded(luma.size()), wantRounded(luma.size());
        StatsKernels::luma(row.data(), count, luma.data(), rounded.data());
        StatsKernels::lumaReference(row.data(), count, want.data(), wantRounded.data());
        EXPECT_EQ(luma, want) << count;
        EXPECT_EQ(rounded, wantRounded) << count;
        // Added to what is there.
        uint64_t sums[3] = {1, 2, 3}, wantSums[3] = {1, 2, 3};
        StatsKernels::channelSums(row.data(), count, sums);
        StatsKernels::channelSumsReference(row.data(), count, wantSums);
        EXPECT_EQ(std::vector<uint64_t>(sums, sums + 3), std::vector<uint64_t>(wantSums, wantSums + 3)) << count;
    }
}

TEST_P(StatsTargets, ChannelSumsOfEveryColourAreExact) {
    const std::vector<uint8_t> all = everyColour();
    uint64_t sums[3] = {0, 0, 0};
    StatsKernels::channelSums(all.data(), static_cast<int>(all.size() / 4), sums);
    // Each channel takes every value 65536 times.
    const uint64_t each = uint64_t{255} * 256 / 2 * 65536;
    EXPECT_EQ(sums[0], each);
    EXPECT_EQ(sums[1], each);
    EXPECT_EQ(sums[2], each);
}
