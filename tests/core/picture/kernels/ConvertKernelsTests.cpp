// The frame converter's vector loops against their scalar references, on
// each instruction set compiled in that this processor runs (the baseline too).
#include "Core/Picture/Kernels/ConvertKernels.hpp"

#include <gtest/gtest.h>
#include <hwy/tests/hwy_gtest.h>

#include <algorithm>
#include <random>
#include <vector>

using namespace korvel;

namespace {
class ConvertTargets : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(ConvertTargets);

// BT.709 in video range and BT.601 in full range, as the converter derives them.
ConvertKernels::Matrix matrixOf(double kr, double kb, bool full) {
    const float kg = static_cast<float>(1 - kr - kb);
    return {full ? 0.0f : 16.0f,
            full ? 1.0f : 255.0f / 219.0f,
            full ? 1.0f : 255.0f / 224.0f,
            static_cast<float>(2 * (1 - kb)),
            static_cast<float>(2 * (1 - kb) * kb) / kg,
            static_cast<float>(2 * (1 - kr) * kr) / kg,
            static_cast<float>(2 * (1 - kr))};
}
const ConvertKernels::Matrix matrices[] = {matrixOf(0.2126, 0.0722, false), matrixOf(0.299, 0.114, true)};
} // namespace

TEST_P(ConvertTargets, BgraIsTheReferenceForEveryCode) {
    // Every whole code, then averages of 36 and of 9 codes and plain
    // fractions, which land near the rounding points.
    std::vector<float> y, u, v;
    for (int c = 0; c < (1 << 24); ++c) {
        y.push_back(float(c & 255));
        u.push_back(float((c >> 8) & 255));
        v.push_back(float(c >> 16));
    }
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> sum36(0, 36 * 255), sum9(0, 9 * 255);
    std::uniform_real_distribution<float> any(-1.0f, 256.0f);
    for (int i = 0; i < 1 << 20; ++i) {
        y.push_back(float(sum36(rng)) * (1.0f / 36));
        u.push_back(float(sum9(rng)) * (1.0f / 9));
        v.push_back(any(rng));
    }
    const int count = static_cast<int>(y.size());
    for (const auto& m : matrices) {
        std::vector<uint8_t> out(size_t(count) * 4), want(out.size());
        ConvertKernels::bgra(y.data(), u.data(), v.data(), count, m, out.data());
        ConvertKernels::bgraReference(y.data(), u.data(), v.data(), count, m, want.data());
        const auto differ = std::mismatch(out.begin(), out.end(), want.begin());
        EXPECT_TRUE(differ.first == out.end()) << "pixel " << (differ.first - out.begin()) / 4;
    }
}

TEST_P(ConvertTargets, BgraOfShortRunsIsTheReference) {
    // Black, white and a mid grey in video range, then counts that leave
    // every remainder after whole vectors.
    const float y[] = {16, 235, 126};
    const float c[] = {128, 128, 128};
    uint8_t pixels[12];
    ConvertKernels::bgraReference(y, c, c, 3, matrices[0], pixels);
    EXPECT_EQ(std::vector<uint8_t>(pixels, pixels + 12),
              (std::vector<uint8_t>{0, 0, 0, 255, 255, 255, 255, 255, 128, 128, 128, 255}));
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> code(0.0f, 255.0f);
    for (int count : {1, 3, 7, 15, 16, 17, 31, 33, 1000}) {
        std::vector<float> yy(static_cast<size_t>(count)), u(yy.size()), v(yy.size());
        for (size_t i = 0; i < yy.size(); ++i) yy[i] = code(rng), u[i] = code(rng), v[i] = code(rng);
        std::vector<uint8_t> out(size_t(count) * 4), want(out.size());
        ConvertKernels::bgra(yy.data(), u.data(), v.data(), count, matrices[0], out.data());
        ConvertKernels::bgraReference(yy.data(), u.data(), v.data(), count, matrices[0], want.data());
        EXPECT_EQ(out, want) << count;
    }
}

TEST_P(ConvertTargets, ColumnSumsAreTheReference) {
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> byte(0, 255);
    // Counts with every remainder; up to the 257 rows whose sums of 255 still hold.
    for (int count : {1, 5, 31, 32, 33, 64, 100, 1920}) {
        for (int rows : {1, 2, 6, 60, 257}) {
            const ptrdiff_t stride = count + 13;
            std::vector<uint8_t> plane(size_t(stride) * size_t(rows));
            for (uint8_t& b : plane) b = uint8_t(byte(rng));
            std::vector<uint16_t> sums(size_t(count), 1), want(sums.size(), 2);
            ConvertKernels::columnSums(plane.data(), stride, rows, count, sums.data());
            ConvertKernels::columnSumsReference(plane.data(), stride, rows, count, want.data());
            EXPECT_EQ(sums, want) << count << " x " << rows;
            std::fill(plane.begin(), plane.end(), uint8_t{255});
            ConvertKernels::columnSums(plane.data(), stride, rows, count, sums.data());
            EXPECT_EQ(sums, std::vector<uint16_t>(size_t(count), uint16_t(rows * 255))) << count << " x " << rows;
        }
    }
}
