// The ways into and out of the working space against scalar references: the
// standard-range curves as the per-pixel code had them, HLG as the picture
// converter computes it (display-referred, luminance-based system gamma),
// on each instruction set compiled in that this processor runs.
#include "Core/Render/ColorMath.hpp"
#include "Core/Render/PlaneKernels.hpp"

#include <gtest/gtest.h>
#include <hwy/tests/hwy_gtest.h>

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

using namespace korvel;

namespace {
constexpr float inf = std::numeric_limits<float>::infinity();
constexpr float nan = std::numeric_limits<float>::quiet_NaN();

// BT.2020's luminance row, derived from its primaries and D65.
std::array<double, 3> luminance2020() {
    const double xy[4][2] = {{0.708, 0.292}, {0.170, 0.797}, {0.131, 0.046}, {0.3127, 0.3290}};
    double m[3][3];
    for (int c = 0; c < 3; ++c) {
        m[0][c] = xy[c][0] / xy[c][1];
        m[1][c] = 1;
        m[2][c] = (1 - xy[c][0] - xy[c][1]) / xy[c][1];
    }
    double w[3] = {xy[3][0] / xy[3][1], 1, (1 - xy[3][0] - xy[3][1]) / xy[3][1]};
    // Cramer's rule for the primaries' weights that make the white.
    auto det = [](double a[3][3]) {
        return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) - a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
               a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    };
    double whole = det(m);
    std::array<double, 3> s{};
    for (int c = 0; c < 3; ++c) {
        double t[3][3];
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) t[i][j] = j == c ? w[i] : m[i][j];
        s[static_cast<size_t>(c)] = det(t) / whole;
    }
    return s;
}

const std::array<double, 3> k2020 = luminance2020();
constexpr float a = 0.17883277f, b = 0.28466892f, c = 0.55991073f;

// Coded samples never convert to NaN; here it counts as black.
float hlgInverseOETF(float x) {
    x = std::isnan(x) ? 0.0f : std::max(x, 0.0f);
    return x <= 0.5f ? (x * x) * (1.0f / 3.0f) : (std::exp((x - c) / a) + b) / 12.0f;
}

float hlgOETF(float x) {
    x = std::max(x, 0.0f);
    return x <= 1.0f / 12.0f ? std::sqrt(3.0f * x) : a * std::log(12.0f * x - b) + c;
}

float luma2020(float r, float g, float bl) {
    return std::max(static_cast<float>(k2020[0]) * r + static_cast<float>(k2020[1]) * g + static_cast<float>(k2020[2]) * bl,
                    FLT_MIN);
}

void multiply(const ColorMath::Matrix3& m, float& r, float& g, float& bl) {
    float nr = m[0] * r + m[1] * g + m[2] * bl, ng = m[3] * r + m[4] * g + m[5] * bl, nb = m[6] * r + m[7] * g + m[8] * bl;
    r = nr, g = ng, bl = nb;
}

std::vector<float> readReference(const std::vector<float> planes[3], const PlaneKernels::Reading& reading) {
    const ColorMath::Curve& curve = ColorMath::curve(ColorSpace::itur709);
    std::vector<float> out(planes[0].size() * 4);
    for (size_t i = 0; i < planes[0].size(); ++i) {
        float v[3] = {planes[0][i], planes[1][i], planes[2][i]};
        switch (reading.curve) {
        case PlaneKernels::SourceCurve::none: break;
        case PlaneKernels::SourceCurve::bt709:
            for (float& x : v) x = curve.decode(x);
            break;
        case PlaneKernels::SourceCurve::srgb:
            for (float& x : v) x = ColorMath::decodeSRGB(x);
            break;
        case PlaneKernels::SourceCurve::hlg: {
            for (float& x : v) x = hlgInverseOETF(x);
            float system = std::pow(luma2020(v[0], v[1], v[2]), 1.2f - 1.0f);
            for (float& x : v) x = x * system * static_cast<float>(1000.0 / 203.0);
            multiply(ColorMath::bt2020ToBt709, v[0], v[1], v[2]);
            break;
        }
        }
        if (reading.wide && reading.curve != PlaneKernels::SourceCurve::hlg) multiply(ColorMath::bt2020ToBt709, v[0], v[1], v[2]);
        if (reading.toneMap) {
            float luma = ColorMath::luma(v[0], v[1], v[2]);
            if (luma > 0) {
                double nits = luma * 203.0;
                auto gain = static_cast<float>(ColorMath::eetf(nits, 1000, 203) / nits);
                for (float& x : v) x *= gain;
            }
            for (float& x : v) x = std::max(x, 0.0f);
        }
        for (int k = 0; k < 3; ++k) out[i * 4 + static_cast<size_t>(k)] = ColorMath::sane(v[k]);
        out[i * 4 + 3] = 1;
    }
    return out;
}

std::vector<float> writeReference(const std::vector<float>& rgba, PlaneKernels::TargetCurve target) {
    const ColorMath::Curve& curve = ColorMath::curve(ColorSpace::itur709);
    size_t count = rgba.size() / 4;
    std::vector<float> out(count * 3);
    for (size_t i = 0; i < count; ++i) {
        float v[3] = {rgba[i * 4], rgba[i * 4 + 1], rgba[i * 4 + 2]};
        if (target == PlaneKernels::TargetCurve::bt709) {
            for (float& x : v) x = curve.encode(std::clamp(std::isnan(x) ? 0.0f : x, 0.0f, 1.0f));
        } else {
            for (float& x : v) x = ColorMath::sane(x);
            multiply(ColorMath::bt709ToBt2020, v[0], v[1], v[2]);
            for (float& x : v) x *= static_cast<float>(203.0 / 1000.0);
            float inverse = std::pow(luma2020(v[0], v[1], v[2]), (1.0f - 1.2f) / 1.2f);
            for (float& x : v) x = hlgOETF(x * inverse);
        }
        for (size_t k = 0; k < 3; ++k) out[k * count + i] = v[k];
    }
    return out;
}

// Mostly what a converter gives (a little past black and white), some
// bright, tiny, zero, and values that are not numbers at all.
std::vector<float> randomValues(size_t count, unsigned seed, float low, float high) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> usual(low, high), tiny(-1e-3f, 1e-3f);
    std::uniform_int_distribution<int> pick(0, 99);
    std::vector<float> v(count);
    for (float& x : v) {
        int p = pick(rng);
        x = p < 84 ? usual(rng) : p < 92 ? tiny(rng) : p < 95 ? 0.0f : p == 95 ? nan : p == 96 ? inf : p == 97 ? -inf : 1.0f;
    }
    return v;
}

void expectClose(const std::vector<float>& got, const std::vector<float>& want, const std::string& what) {
    ASSERT_EQ(got.size(), want.size());
    int reported = 0;
    for (size_t i = 0; i < got.size() && reported < 5; ++i) {
        float g = got[i], w = want[i];
        bool same = g == w || (std::isfinite(w) && std::fabs(g - w) <= 1e-5f * std::max(1.0f, std::fabs(w)));
        if (!same) {
            ADD_FAILURE() << what << ", value " << i << ": " << g << " where the reference gives " << w;
            ++reported;
        }
    }
}

class PlaneKernelTargets : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(PlaneKernelTargets);

// Counts that leave every remainder after whole vectors.
const int counts[] = {1, 3, 7, 15, 16, 17, 31, 1000};

TEST_P(PlaneKernelTargets, ReadingMatchesTheReferenceForEveryCurve) {
    struct Case {
        const char* name;
        PlaneKernels::Reading reading;
        float low, high;
    };
    using S = PlaneKernels::SourceCurve;
    const Case cases[] = {
        {"mask", {S::none, false, false}, -0.5f, 1.5f},
        {"BT.709", {S::bt709, false, false}, -0.3f, 1.3f},
        {"BT.709 on BT.2020", {S::bt709, true, false}, -0.3f, 1.3f},
        {"sRGB", {S::srgb, false, false}, -0.3f, 1.3f},
        {"HLG", {S::hlg, false, false}, -0.3f, 1.3f},
        {"HLG shown in standard range", {S::hlg, false, true}, -0.3f, 1.3f},
        {"PQ light shown in standard range", {S::none, false, true}, -0.5f, 6.0f},
    };
    for (const Case& k : cases) {
        for (int count : counts) {
            std::vector<float> planes[3];
            for (unsigned p = 0; p < 3; ++p) planes[p] = randomValues(static_cast<size_t>(count), 17u * p + static_cast<unsigned>(count), k.low, k.high);
            std::vector<float> got(static_cast<size_t>(count) * 4, -7.0f);
            PlaneKernels::interleave(planes[0].data(), planes[1].data(), planes[2].data(), got.data(), count, k.reading);
            expectClose(got, readReference(planes, k.reading), std::string(k.name) + ", " + std::to_string(count) + " pixels");
        }
    }
}

TEST_P(PlaneKernelTargets, WritingMatchesTheReferenceForEveryCurve) {
    using T = PlaneKernels::TargetCurve;
    for (T target : {T::bt709, T::hlg}) {
        for (int count : counts) {
            auto rgba = randomValues(static_cast<size_t>(count) * 4, 5u + static_cast<unsigned>(count), -0.2f, 5.0f);
            std::vector<float> got(static_cast<size_t>(count) * 3, -7.0f);
            auto n = static_cast<size_t>(count);
            PlaneKernels::deinterleave(rgba.data(), got.data(), got.data() + n, got.data() + 2 * n, count, target);
            expectClose(got, writeReference(rgba, target),
                        std::string(target == T::hlg ? "HLG" : "BT.709") + ", " + std::to_string(count) + " pixels");
        }
    }
}

TEST_P(PlaneKernelTargets, HLGWrittenAndReadBackIsTheSameLight) {
    // Reference white and the range around it, grey and coloured.
    std::vector<float> rgba;
    for (float level : {0.0f, 0.01f, 0.18f, 0.5f, 1.0f, 2.0f, 4.9f}) {
        for (auto tint : {std::array<float, 3>{1, 1, 1}, {1, 0.5f, 0.25f}, {0.2f, 1, 0.6f}}) {
            for (float t : tint) rgba.push_back(level * t);
            rgba.push_back(1);
        }
    }
    int count = static_cast<int>(rgba.size() / 4);
    auto n = static_cast<size_t>(count);
    std::vector<float> planes(n * 3), back(n * 4);
    PlaneKernels::deinterleave(rgba.data(), planes.data(), planes.data() + n, planes.data() + 2 * n, count,
                               PlaneKernels::TargetCurve::hlg);
    // Reference white sits at HLG's 75% signal.
    EXPECT_NEAR(planes[12], 0.75f, 0.005f);
    PlaneKernels::interleave(planes.data(), planes.data() + n, planes.data() + 2 * n, back.data(), count, {PlaneKernels::SourceCurve::hlg});
    for (size_t i = 0; i < back.size(); ++i) EXPECT_NEAR(back[i], rgba[i], 1e-4f * std::max(1.0f, rgba[i])) << i;
}

} // namespace
