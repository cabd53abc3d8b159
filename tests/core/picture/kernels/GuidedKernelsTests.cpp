// The guided upsample's vector rows against their scalar references, on each
// instruction set compiled in that this processor runs (the baseline too).
#include "Core/Picture/Kernels/GuidedKernels.hpp"

#include "tests/support/KernelChecks.hpp"

#include <gtest/gtest.h>
#include <hwy/tests/hwy_gtest.h>

#include <limits>
#include <random>
#include <string>
#include <vector>

using namespace korvel;

namespace {
// Values in and past [0, 1], with a few that are not numbers where the
// kernel reads a picture.
std::vector<float> values(size_t count, unsigned seed, bool odd) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> usual(-0.25f, 1.5f);
    std::uniform_int_distribution<int> pick(0, 99);
    std::vector<float> v(count);
    for (float& x : v) {
        int p = pick(rng);
        x = !odd || p < 90 ? usual(rng)
            : p < 93       ? 0.0f
            : p < 95       ? 1.0f
            : p < 97       ? std::numeric_limits<float>::quiet_NaN()
            : p < 98       ? std::numeric_limits<float>::infinity()
                           : -std::numeric_limits<float>::infinity();
    }
    return v;
}

// Counts that leave every remainder after whole vectors.
constexpr int counts[] = {1, 3, 7, 15, 16, 17, 31, 1000};

class GuidedTargets : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(GuidedTargets);
} // namespace

TEST_P(GuidedTargets, InputsAreTheReferences) {
    for (int count : counts) {
        const size_t n = static_cast<size_t>(count);
        auto picture = values(n * 4, 3u + n, true);
        auto top = values(n, 5u + n, false), bottom = values(n, 7u + n, false);
        for (float dv : {0.0f, 0.37f, 1.0f}) {
            std::vector<std::vector<float>> got(4, std::vector<float>(n)), want = got;
            GuidedKernels::inputs(got[0].data(), got[1].data(), got[2].data(), got[3].data(), picture.data(),
                                  top.data(), bottom.data(), dv, count);
            GuidedKernels::inputsReference(want[0].data(), want[1].data(), want[2].data(), want[3].data(),
                                           picture.data(), top.data(), bottom.data(), dv, count);
            for (size_t k = 0; k < got.size(); ++k)
                KernelChecks::expectClose(got[k], want[k], std::to_string(count) + " pixels, plane " + std::to_string(k));
        }
    }
}

TEST_P(GuidedTargets, ColumnSumsSlideAsTheReferences) {
    for (int count : counts) {
        const size_t n = static_cast<size_t>(count);
        auto start = values(n, 11u + n, false), in = values(n, 13u + n, false), off = values(n, 17u + n, false);
        std::vector<double> got(start.begin(), start.end()), want = got;
        GuidedKernels::add(got.data(), in.data(), count);
        GuidedKernels::subtract(got.data(), off.data(), count);
        GuidedKernels::addReference(want.data(), in.data(), count);
        GuidedKernels::subtractReference(want.data(), off.data(), count);
        // Sums of a few floats are exact in double: they must agree to the last bit.
        for (size_t i = 0; i < n; ++i) ASSERT_EQ(got[i], want[i]) << count << " columns, column " << i;
    }
}

TEST_P(GuidedTargets, MeansAreTheReferences) {
    for (int count : counts) {
        const size_t n = static_cast<size_t>(count);
        std::vector<double> low(n), high(n);
        auto a = values(n, 19u + n, false), b = values(n, 23u + n, false);
        // Running totals of a window's worth of values, as the box filter holds them.
        for (size_t i = 0; i < n; ++i) {
            low[i] = 40.0 * a[i];
            high[i] = low[i] + 169.0 * b[i];
        }
        for (double size : {1.0, 13.0, 169.0, 2401.0}) {
            std::vector<float> got(n), want(n);
            GuidedKernels::means(got.data(), high.data(), low.data(), size, count);
            GuidedKernels::meansReference(want.data(), high.data(), low.data(), size, count);
            KernelChecks::expectClose(got, want, std::to_string(count) + " means of " + std::to_string(size));
        }
    }
}

TEST_P(GuidedTargets, TheModelIsTheReferences) {
    for (int count : counts) {
        const size_t n = static_cast<size_t>(count);
        // Means as windows give them: the square of the guide's mean never
        // above the mean of its square.
        auto meanI = values(n, 29u + n, false), meanP = values(n, 31u + n, false);
        auto spread = values(n, 37u + n, false), along = values(n, 41u + n, false);
        std::vector<float> meanII(n), meanIP(n);
        for (size_t i = 0; i < n; ++i) {
            meanII[i] = meanI[i] * meanI[i] + 0.01f * spread[i] * spread[i];
            meanIP[i] = meanI[i] * meanP[i] + 0.01f * along[i];
        }
        for (float epsilon : {0.0025f, 1e-4f}) {
            std::vector<float> a(n), b(n), wantA(n), wantB(n);
            GuidedKernels::model(a.data(), b.data(), meanI.data(), meanP.data(), meanIP.data(), meanII.data(), epsilon,
                                 count);
            GuidedKernels::modelReference(wantA.data(), wantB.data(), meanI.data(), meanP.data(), meanIP.data(),
                                          meanII.data(), epsilon, count);
            KernelChecks::expectClose(a, wantA, std::to_string(count) + " slopes");
            KernelChecks::expectClose(b, wantB, std::to_string(count) + " offsets");
        }
    }
}

TEST_P(GuidedTargets, TheRefinedRowIsTheReferences) {
    for (int count : counts) {
        const size_t n = static_cast<size_t>(count);
        auto meanA = values(n, 43u + n, true), meanB = values(n, 47u + n, true), guide = values(n, 53u + n, false);
        std::vector<float> got(n * 4), want(n * 4);
        GuidedKernels::refined(got.data(), meanA.data(), meanB.data(), guide.data(), count);
        GuidedKernels::refinedReference(want.data(), meanA.data(), meanB.data(), guide.data(), count);
        KernelChecks::expectClose(got, want, std::to_string(count) + " pixels");
        for (size_t i = 0; i < n; ++i) {
            ASSERT_GE(got[i * 4], 0.0f) << "pixel " << i;
            ASSERT_LE(got[i * 4], 1.0f) << "pixel " << i;
            ASSERT_EQ(got[i * 4 + 3], 1.0f) << "pixel " << i;
        }
    }
}
