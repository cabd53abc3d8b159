// The ways into and out of the working space against scalar references: the
// standard-range curves as the per-pixel code had them, HLG as the picture
// converter computes it (display-referred, luminance-based system gamma),
// on each instruction set compiled in that this processor runs.
#include "Core/Picture/Color/ColorMath.hpp"
#include "Core/Picture/Kernels/PlaneKernels.hpp"

#include "tests/support/KernelChecks.hpp"

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

// Gamma values of the target, per pixel.
std::array<float, 3> toTarget(const float* p, PlaneKernels::TargetCurve target) {
    const ColorMath::Curve& curve = ColorMath::curve(ColorSpace::itur709);
    std::array<float, 3> v{p[0], p[1], p[2]};
    if (target == PlaneKernels::TargetCurve::bt709) {
        for (float& x : v) x = curve.encode(std::clamp(std::isnan(x) ? 0.0f : x, 0.0f, 1.0f));
    } else {
        for (float& x : v) x = ColorMath::sane(x);
        multiply(ColorMath::bt709ToBt2020, v[0], v[1], v[2]);
        for (float& x : v) x *= static_cast<float>(203.0 / 1000.0);
        float inverse = std::pow(luma2020(v[0], v[1], v[2]), (1.0f - 1.2f) / 1.2f);
        for (float& x : v) x = hlgOETF(x * inverse);
    }
    return v;
}

// A code as the converter's depth step makes it: nearest, held to the range.
struct Code {
    double exact;
    int code;
};
Code codeOf(double v, bool chroma, int bits) {
    double unit = 1 << (bits - 8);
    double exact = v * (chroma ? 224 : 219) * unit + (chroma ? 128 : 16) * unit;
    return {exact, static_cast<int>(std::clamp(std::nearbyint(exact), 0.0, double((1 << bits) - 1)))};
}

// Equal codes, except by one where the exact value lies next to a half.
void expectCodes(const std::vector<int>& got, const std::vector<Code>& want, const std::string& what) {
    ASSERT_EQ(got.size(), want.size());
    int reported = 0;
    for (size_t i = 0; i < got.size() && reported < 5; ++i) {
        double half = std::fabs(want[i].exact - std::floor(want[i].exact) - 0.5);
        bool near = half < 1e-3 && std::abs(got[i] - want[i].code) == 1;
        if (got[i] != want[i].code && !near) {
            ADD_FAILURE() << what << ", code " << i << ": " << got[i] << " where the reference gives " << want[i].code
                          << " (" << want[i].exact << ")";
            ++reported;
        }
    }
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

using KernelChecks::expectClose;

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

TEST_P(PlaneKernelTargets, YCbCrRowsMatchTheReferenceForEveryDepthAndRange) {
    struct Case {
        int bits;
        bool fullRange;
        double kr, kb;
    };
    const Case cases[] = {{8, false, 0.2126, 0.0722}, {8, true, 0.299, 0.114}, {10, false, 0.2627, 0.0593}, {16, true, 0.2126, 0.0722}};
    for (const Case& k : cases) {
        PlaneKernels::Source source;
        source.bits = k.bits;
        source.fullRange = k.fullRange;
        PlaneKernels::ycbcrToRgb(k.kr, k.kb, source.matrix);
        for (int count : {2, 6, 16, 18, 30, 34, 1000}) {
            const auto n = static_cast<size_t>(count), half = n / 2;
            std::mt19937 rng(static_cast<unsigned>(count * k.bits));
            std::uniform_int_distribution<int> code(0, (1 << k.bits) - 1);
            std::vector<uint16_t> luma(n), chroma[4];
            for (auto& v : luma) v = static_cast<uint16_t>(code(rng));
            for (auto& c : chroma) {
                c.resize(half);
                for (auto& v : c) v = static_cast<uint16_t>(code(rng));
            }
            std::vector<uint8_t> luma8(luma.begin(), luma.end()), chroma8[4];
            for (size_t c = 0; c < 4; ++c) chroma8[c].assign(chroma[c].begin(), chroma[c].end());
            const void* y = k.bits > 8 ? static_cast<const void*>(luma.data()) : luma8.data();
            const void* rows[4];
            for (size_t c = 0; c < 4; ++c) rows[c] = k.bits > 8 ? static_cast<const void*>(chroma[c].data()) : chroma8[c].data();
            std::vector<float> got(n * 3, -7.0f), scratch(PlaneKernels::ycbcrScratch(count));
            PlaneKernels::ycbcrRow(y, rows, count, source, got.data(), got.data() + n, got.data() + 2 * n, scratch.data());
            // The reference: codes to [0, 1] and [-1/2, 1/2], chroma sited,
            // then the matrix in double.
            double unit = 1 << (k.bits - 8), top = (1 << k.bits) - 1;
            auto lumaOf = [&](double v) { return k.fullRange ? v / top : (v - 16 * unit) / (219 * unit); };
            auto chromaOf = [&](double v) { return k.fullRange ? (v - (1 << (k.bits - 1))) / top : (v - 128 * unit) / (224 * unit); };
            auto between = [&](int c, size_t j) {
                j = std::min(j, half - 1);
                return chromaOf(0.75 * chroma[2 * c][j] + 0.25 * chroma[2 * c + 1][j]);
            };
            auto sited = [&](int c, size_t x) { return x % 2 == 0 ? between(c, x / 2) : (between(c, x / 2) + between(c, x / 2 + 1)) / 2; };
            double kg = 1 - k.kr - k.kb;
            std::vector<float> want(n * 3);
            for (size_t x = 0; x < n; ++x) {
                double l = lumaOf(luma[x]), u = sited(0, x), v = sited(1, x);
                want[x] = static_cast<float>(l + 2 * (1 - k.kr) * v);
                want[n + x] = static_cast<float>(l - 2 * k.kb * (1 - k.kb) / kg * u - 2 * k.kr * (1 - k.kr) / kg * v);
                want[2 * n + x] = static_cast<float>(l + 2 * (1 - k.kb) * u);
            }
            expectClose(got, want, std::to_string(k.bits) + " bits" + (k.fullRange ? " full range, " : ", ") + std::to_string(count) + " columns");
        }
    }
}

// Luma weights, and the colour differences' scale to [-1/2, 1/2].
std::array<std::array<double, 3>, 3> ycbcr(bool bt2020) {
    double kr = bt2020 ? 0.2627 : 0.2126, kb = bt2020 ? 0.0593 : 0.0722, kg = 1 - kr - kb;
    return {{{kr, kg, kb}, {-kr / (2 * (1 - kb)), -kg / (2 * (1 - kb)), 0.5}, {0.5, -kg / (2 * (1 - kr)), -kb / (2 * (1 - kr))}}};
}

TEST_P(PlaneKernelTargets, LumaRowsMatchTheReferenceForEveryTarget) {
    using T = PlaneKernels::TargetCurve;
    for (T target : {T::bt709, T::hlg}) {
        const int bits = target == T::hlg ? 10 : 8;
        const auto m = ycbcr(target == T::hlg);
        for (int count : counts) {
            auto n = static_cast<size_t>(count);
            auto rgba = randomValues(n * 4, 5u + static_cast<unsigned>(count), -0.2f, 5.0f);
            std::vector<uint8_t> luma8(n, 7);
            std::vector<uint16_t> luma16(n, 7);
            std::vector<float> cb(n, -7.0f), cr(n, -7.0f);
            void* luma = bits > 8 ? static_cast<void*>(luma16.data()) : static_cast<void*>(luma8.data());
            PlaneKernels::lumaRow(rgba.data(), count, target, {bits}, luma, cb.data(), cr.data());
            std::vector<int> got;
            std::vector<Code> want;
            std::vector<float> wantCb, wantCr;
            for (size_t i = 0; i < n; ++i) {
                auto v = toTarget(rgba.data() + i * 4, target);
                auto row = [&](size_t k) { return m[k][0] * v[0] + m[k][1] * v[1] + m[k][2] * v[2]; };
                got.push_back(bits > 8 ? luma16[i] : luma8[i]);
                want.push_back(codeOf(row(0), false, bits));
                wantCb.push_back(static_cast<float>(row(1)));
                wantCr.push_back(static_cast<float>(row(2)));
            }
            std::string what = std::string(target == T::hlg ? "HLG" : "BT.709") + ", " + std::to_string(count) + " pixels";
            expectCodes(got, want, what + ", luma");
            expectClose(cb, wantCb, what + ", blue difference");
            expectClose(cr, wantCr, what + ", red difference");
        }
    }
}

TEST_P(PlaneKernelTargets, EncodedValuesGetTheCodesOfTheirLight) {
    // Straight BT.709 values over alphas opaque, all but opaque and not.
    const float alphas[] = {1, 1 - 1.0f / (1 << 20), 1 + 1.0f / (1 << 20), 0.6f, 0.05f, 0, 1, 1};
    const auto m = ycbcr(false);
    for (int count : counts) {
        auto n = static_cast<size_t>(count);
        auto rgba = randomValues(n * 4, 11u + static_cast<unsigned>(count), -0.2f, 1.3f);
        std::mt19937 rng(static_cast<unsigned>(count));
        for (size_t i = 0; i < n; ++i) rgba[i * 4 + 3] = alphas[rng() % std::size(alphas)];
        std::vector<uint8_t> luma(n, 7);
        std::vector<float> cb(n, -7.0f), cr(n, -7.0f);
        PlaneKernels::lumaRow(rgba.data(), count, PlaneKernels::TargetCurve::bt709Encoded, {8}, luma.data(), cb.data(), cr.data());
        std::vector<int> got(luma.begin(), luma.end());
        std::vector<Code> want;
        std::vector<float> wantCb, wantCr;
        for (size_t i = 0; i < n; ++i) {
            // The premultiplied light these values stand for, as bt709 takes it.
            float light[4];
            for (size_t k = 0; k < 3; ++k) light[k] = ColorMath::decode709(rgba[i * 4 + k]) * rgba[i * 4 + 3];
            auto v = toTarget(light, PlaneKernels::TargetCurve::bt709);
            auto row = [&](size_t k) { return m[k][0] * v[0] + m[k][1] * v[1] + m[k][2] * v[2]; };
            want.push_back(codeOf(row(0), false, 8));
            wantCb.push_back(static_cast<float>(row(1)));
            wantCr.push_back(static_cast<float>(row(2)));
        }
        std::string what = "encoded BT.709, " + std::to_string(count) + " pixels";
        expectCodes(got, want, what + ", luma");
        expectClose(cb, wantCb, what + ", blue difference");
        expectClose(cr, wantCr, what + ", red difference");
    }
}

TEST_P(PlaneKernelTargets, SignalRowsCodeWhatTheWorkingSpaceGivesBack) {
    using T = PlaneKernels::TargetCurve;
    using S = PlaneKernels::SourceCurve;
    for (T target : {T::bt709, T::hlg}) {
        const bool hlg = target == T::hlg;
        const int bits = hlg ? 10 : 8;
        const auto m = ycbcr(hlg);
        for (int count : counts) {
            const auto n = static_cast<size_t>(count);
            // What a frame's matrix gives, a little past black and white.
            std::vector<float> planes[3];
            for (unsigned p = 0; p < 3; ++p) planes[p] = randomValues(n, 7u * p + 3u * n, -0.3f, 1.3f);
            std::vector<uint8_t> luma8(n, 7);
            std::vector<uint16_t> luma16(n, 7);
            std::vector<float> cb(n, -7.0f), cr(n, -7.0f);
            void* luma = hlg ? static_cast<void*>(luma16.data()) : static_cast<void*>(luma8.data());
            PlaneKernels::signalRow(planes[0].data(), planes[1].data(), planes[2].data(), count, target, {bits}, luma,
                                    cb.data(), cr.data());
            std::vector<int> got;
            std::vector<Code> want;
            std::vector<float> wantCb, wantCr;
            for (size_t i = 0; i < n; ++i) {
                std::array<double, 3> v{};
                for (size_t c = 0; c < 3; ++c) {
                    float x = std::isfinite(planes[c][i]) ? planes[c][i] : 0.0f;
                    v[c] = hlg ? std::max(x, 0.0f) : std::clamp(x, 0.0f, 1.0f);
                }
                auto row = [&](size_t k) { return m[k][0] * v[0] + m[k][1] * v[1] + m[k][2] * v[2]; };
                got.push_back(hlg ? luma16[i] : luma8[i]);
                want.push_back(codeOf(row(0), false, bits));
                wantCb.push_back(static_cast<float>(row(1)));
                wantCr.push_back(static_cast<float>(row(2)));
            }
            std::string what = std::string(hlg ? "HLG" : "BT.709") + ", " + std::to_string(count) + " pixels";
            expectCodes(got, want, what + ", luma");
            expectClose(cb, wantCb, what + ", blue difference");
            expectClose(cr, wantCr, what + ", red difference");

            // The same as the way through the working space: read with the
            // target's own curve, then coded with it.
            std::vector<float> light(n * 4);
            PlaneKernels::interleave(planes[0].data(), planes[1].data(), planes[2].data(), light.data(), count,
                                     {hlg ? S::hlg : S::bt709, false, false});
            std::vector<uint8_t> through8(n, 7);
            std::vector<uint16_t> through16(n, 7);
            std::vector<float> throughCb(n), throughCr(n);
            void* through = hlg ? static_cast<void*>(through16.data()) : static_cast<void*>(through8.data());
            PlaneKernels::lumaRow(light.data(), count, target, {bits}, through, throughCb.data(), throughCr.data());
            for (size_t i = 0; i < n; ++i) {
                // Inside the curve's range; at black the way through brings a
                // channel back as a trace of the primaries' round trip, which
                // HLG's square root lifts (the frames' test bounds it).
                bool inside = true;
                for (const auto& plane : planes) inside = inside && plane[i] >= 0.05f && plane[i] <= 1.0f;
                if (!inside) continue;
                int a = hlg ? luma16[i] : luma8[i], b = hlg ? through16[i] : through8[i];
                EXPECT_LE(std::abs(a - b), 1) << what << ", luma " << i;
                EXPECT_NEAR(cb[i], throughCb[i], 1e-4) << what << ", blue difference " << i;
                EXPECT_NEAR(cr[i], throughCr[i], 1e-4) << what << ", red difference " << i;
            }
        }
    }
}

TEST_P(PlaneKernelTargets, ChromaRowsFilterDownAndAcrossAsTheReference) {
    for (int bits : {8, 10}) {
        for (int half : {1, 2, 7, 8, 9, 17, 500}) {
            const int count = half * 2;
            const auto n = static_cast<size_t>(count);
            std::vector<float> rows[4];
            for (unsigned k = 0; k < 4; ++k) rows[k] = randomValues(n, 31u * k + n, -0.6f, 0.6f);
            for (auto& row : rows)
                for (float& v : row) v = std::isfinite(v) ? v : 0.25f;
            const float* picked[4] = {rows[0].data(), rows[1].data(), rows[2].data(), rows[3].data()};
            std::vector<float> scratch(n + 1);
            std::vector<uint8_t> out8(static_cast<size_t>(half), 7);
            std::vector<uint16_t> out16(static_cast<size_t>(half), 7);
            void* out = bits > 8 ? static_cast<void*>(out16.data()) : static_cast<void*>(out8.data());
            PlaneKernels::chromaRow(picked, count, {bits}, out, scratch.data());
            auto down = [&](int x) {
                auto at = static_cast<size_t>(std::clamp(x, 0, count - 1));
                return (rows[0][at] + 3.0 * rows[1][at] + 3.0 * rows[2][at] + rows[3][at]) / 8;
            };
            std::vector<int> got;
            std::vector<Code> want;
            for (int j = 0; j < half; ++j) {
                got.push_back(bits > 8 ? out16[static_cast<size_t>(j)] : out8[static_cast<size_t>(j)]);
                want.push_back(codeOf((down(2 * j - 1) + 2 * down(2 * j) + down(2 * j + 1)) / 4, true, bits));
            }
            expectCodes(got, want, std::to_string(bits) + " bits, " + std::to_string(count) + " columns");
        }
    }
}

TEST_P(PlaneKernelTargets, ReferenceWhiteAndBlackLandOnTheirCodes) {
    // White at the working space's 1.0: 100% of BT.709, 75% of HLG's signal.
    const float white[8] = {1, 1, 1, 1, 0, 0, 0, 1};
    uint8_t luma8[2];
    uint16_t luma16[2];
    float cb[2], cr[2];
    PlaneKernels::lumaRow(white, 2, PlaneKernels::TargetCurve::bt709, {8}, luma8, cb, cr);
    EXPECT_EQ(luma8[0], 235);
    EXPECT_EQ(luma8[1], 16);
    PlaneKernels::lumaRow(white, 2, PlaneKernels::TargetCurve::hlg, {10}, luma16, cb, cr);
    EXPECT_NEAR(luma16[0], 0.75 * 876 + 64, 1.5);
    EXPECT_EQ(luma16[1], 64);
    for (float v : {cb[0], cb[1], cr[0], cr[1]}) EXPECT_NEAR(v, 0.0f, 1e-6f);
}

} // namespace
