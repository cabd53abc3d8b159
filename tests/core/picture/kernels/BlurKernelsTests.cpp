// The symmetric filter's vector loops against their scalar references, value
// for value, on each instruction set compiled in that this processor runs
// (the baseline too).
#include "Core/Picture/Kernels/BlurKernels.hpp"

#include <gtest/gtest.h>
#include <hwy/tests/hwy_gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace korvel;

namespace {
class BlurTargets : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(BlurTargets);

std::vector<float> randomValues(size_t count, unsigned seed, float from = -0.5f, float to = 2.0f) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> value(from, to);
    std::vector<float> v(count);
    for (float& x : v) x = value(rng);
    return v;
}

// Counts that leave every remainder after four vectors and after one; no
// taps beyond the centre to many.
const size_t counts[] = {1, 3, 7, 16, 17, 63, 64, 65, 129, 7681};
const int radii[] = {0, 1, 2, 8, 16, 40};
} // namespace

TEST_P(BlurTargets, ARowIsItsReference) {
    for (int radius : radii) {
        const std::vector<float> taps = randomValues(static_cast<size_t>(radius) + 1, 3u + radius, 0.0f, 0.3f);
        for (size_t step : {size_t{1}, size_t{2}, size_t{4}}) {
            for (size_t count : counts) {
                const size_t pad = static_cast<size_t>(radius) * step;
                const std::vector<float> line = randomValues(count + 2 * pad, static_cast<unsigned>(count + step));
                std::vector<float> got(count, -7.0f), want(count, -9.0f);
                Kernels::symmetricRow(got.data(), line.data() + pad, count, step, taps.data(), radius);
                Kernels::symmetricRowReference(want.data(), line.data() + pad, count, step, taps.data(), radius);
                ASSERT_EQ(got, want) << radius << " taps out, step " << step << ", " << count << " values";
            }
        }
    }
}

TEST_P(BlurTargets, AColumnIsItsReference) {
    for (int radius : radii) {
        const std::vector<float> taps = randomValues(static_cast<size_t>(radius) + 1, 5u + radius, 0.0f, 0.3f);
        for (size_t count : counts) {
            std::vector<std::vector<float>> rows;
            std::vector<const float*> pointers;
            for (int k = 0; k <= 2 * radius; ++k) rows.push_back(randomValues(count, static_cast<unsigned>(k + 11)));
            for (const auto& r : rows) pointers.push_back(r.data());
            // The same row twice over, as at a repeated edge.
            if (radius > 0) pointers[0] = pointers[1];
            std::vector<float> got(count, -7.0f), want(count, -9.0f);
            Kernels::symmetricColumns(got.data(), pointers.data(), count, taps.data(), radius);
            Kernels::symmetricColumnsReference(want.data(), pointers.data(), count, taps.data(), radius);
            ASSERT_EQ(got, want) << radius << " rows out, " << count << " values";
        }
    }
}
