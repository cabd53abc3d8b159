// The resampling kernels against plain scalar loops, on each instruction set
// compiled in that this processor runs (the baseline too).
#include "Core/Picture/Kernels/ResampleKernels.hpp"

#include "tests/support/KernelChecks.hpp"

#include <gtest/gtest.h>
#include <hwy/tests/hwy_gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

using namespace korvel;

namespace {
std::vector<float> randomValues(size_t count, unsigned seed, float from = -0.5f, float to = 2.0f) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> value(from, to);
    std::vector<float> v(count);
    for (float& x : v) x = value(rng);
    return v;
}

using KernelChecks::expectClose;

class ResampleTargets : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(ResampleTargets);

TEST_P(ResampleTargets, AWeightedSumOfRowsMatchesTheScalarSum) {
    // Counts that leave every remainder after whole vectors; one tap to many.
    for (int taps : {1, 2, 9, 23}) {
        for (size_t count : {size_t{1}, size_t{5}, size_t{16}, size_t{33}, size_t{7680}}) {
            std::vector<std::vector<float>> rows;
            std::vector<const float*> pointers;
            for (int k = 0; k < taps; ++k) rows.push_back(randomValues(count, static_cast<unsigned>(k + 1)));
            for (const auto& r : rows) pointers.push_back(r.data());
            std::vector<float> weights = randomValues(static_cast<size_t>(taps), 99, -0.2f, 0.6f);
            std::vector<float> want(count), got(count, -7.0f);
            for (size_t i = 0; i < count; ++i) {
                double sum = 0;
                for (int k = 0; k < taps; ++k) sum += static_cast<double>(rows[static_cast<size_t>(k)][i]) * weights[static_cast<size_t>(k)];
                want[i] = static_cast<float>(sum);
            }
            Kernels::weightedSum(got.data(), pointers.data(), weights.data(), taps, count);
            expectClose(got, want, std::to_string(taps) + " taps over " + std::to_string(count) + " values");
        }
    }
}

TEST_P(ResampleTargets, TwoSumsOverSharedRowsAreEachSumAlone) {
    struct Case {
        int ta, shift, tb;
    };
    // b starting with a, one or two rows on, on a's last row, and longer.
    for (Case c : {Case{9, 0, 9}, Case{9, 1, 9}, Case{9, 2, 8}, Case{5, 4, 3}, Case{1, 0, 1}, Case{3, 1, 6}}) {
        for (size_t count : {size_t{1}, size_t{17}, size_t{33}, size_t{7680}}) {
            const int all = c.shift + c.tb;
            std::vector<std::vector<float>> rows;
            std::vector<const float*> pointers;
            for (int k = 0; k < all; ++k) rows.push_back(randomValues(count, static_cast<unsigned>(k + 11)));
            for (const auto& r : rows) pointers.push_back(r.data());
            std::vector<float> wa = randomValues(static_cast<size_t>(c.ta), 3, -0.2f, 0.6f);
            std::vector<float> wb = randomValues(static_cast<size_t>(c.tb), 4, -0.2f, 0.6f);
            std::vector<float> a(count, -7.0f), b(count, -7.0f), aloneA(count), aloneB(count);
            Kernels::weightedSums(a.data(), b.data(), pointers.data(), wa.data(), c.ta, wb.data(), c.shift, c.tb, count);
            Kernels::weightedSum(aloneA.data(), pointers.data(), wa.data(), c.ta, count);
            Kernels::weightedSum(aloneB.data(), pointers.data() + c.shift, wb.data(), c.tb, count);
            std::string what = std::to_string(c.ta) + " and " + std::to_string(c.tb) + " taps " + std::to_string(c.shift) +
                               " apart over " + std::to_string(count) + " values";
            EXPECT_EQ(a, aloneA) << what;
            EXPECT_EQ(b, aloneB) << what;
        }
    }
}

TEST_P(ResampleTargets, ARowFilteredAlongItselfMatchesTheScalarFilter) {
    struct Case {
        int width, count, taps;
        int start;  // first tap of output 0
        double step; // source pixels per output
    };
    // Shrinking inside the line, taps hanging off either edge, enlarging.
    // Four at once: outputs whose first taps lie within 8 pixels, inside the line.
    for (Case c : {Case{1920, 1620, 9, -4, 1920.0 / 1620}, Case{40, 13, 23, -11, 3.1}, Case{7, 30, 2, -1, 0.25},
                   Case{203, 101, 6, 0, 2.0}, Case{1, 3, 4, -2, 0.3}, Case{1280, 427, 13, -6, 3.0},
                   Case{300, 129, 7, -3, 2.4}, Case{64, 30, 5, 1, 1.9}}) {
        std::vector<float> line = randomValues(static_cast<size_t>(c.width) * 4, 5);
        std::vector<int> first(static_cast<size_t>(c.count));
        std::vector<float> weights = randomValues(static_cast<size_t>(c.count * c.taps), 6, -0.1f, 0.5f);
        std::mt19937 rng(8);
        for (int o = 0; o < c.count; ++o) {
            first[static_cast<size_t>(o)] = c.start + static_cast<int>(std::floor(o * c.step));
            // Some taps weigh nothing, as past a transparent edge.
            if (rng() % 4 == 0) weights[static_cast<size_t>(o * c.taps) + rng() % static_cast<unsigned>(c.taps)] = 0;
        }
        std::vector<float> want(static_cast<size_t>(c.count) * 4), got(want.size(), -7.0f);
        for (int o = 0; o < c.count; ++o) {
            for (int ch = 0; ch < 4; ++ch) {
                double sum = 0;
                for (int k = 0; k < c.taps; ++k) {
                    int index = std::clamp(first[static_cast<size_t>(o)] + k, 0, c.width - 1);
                    sum += static_cast<double>(line[static_cast<size_t>(index * 4 + ch)]) *
                           weights[static_cast<size_t>(o * c.taps + k)];
                }
                want[static_cast<size_t>(o * 4 + ch)] = static_cast<float>(sum);
            }
        }
        Kernels::resampleRow(got.data(), line.data(), c.width, first.data(), weights.data(), c.taps, c.count);
        expectClose(got, want, std::to_string(c.width) + " to " + std::to_string(c.count) + " pixels");
        // Four outputs at once where they can be, each the same as alone.
        std::vector<float> grouped = Kernels::groupedWeights(weights.data(), c.taps, c.count);
        std::vector<float> together(want.size(), -7.0f);
        Kernels::resampleRow(together.data(), line.data(), c.width, first.data(), weights.data(), c.taps, c.count,
                             grouped.data());
        EXPECT_EQ(together, got) << c.width << " to " << c.count << " pixels, four at once";
    }
}

} // namespace
