#include "Core/Audio/PCMAudio.hpp"
#include "Core/Audio/TruePeak.hpp"
#include "Core/Audio/TruePeakLimiter.hpp"
#include "tests/core/audio/TestSignals.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

using namespace korvel;
using testsignals::sine;

namespace {

// Envelope by the definition: zero padding, three correlations.
std::vector<float> plainEnvelope(const std::vector<float>& x) {
    auto bessel = [](double v) {
        double sum = 0, term = 1;
        for (int k = 0; k < 32; ++k) {
            if (k > 0) term *= (v / 2) / k;
            sum += term * term;
        }
        return sum;
    };
    std::vector<float> env(x.size());
    for (size_t i = 0; i < x.size(); ++i) env[i] = std::fabs(x[i]);
    for (double phi : {0.25, 0.5, 0.75}) {
        double t[32], sum = 0;
        for (int k = -15; k <= 16; ++k) {
            const double a = k - phi;
            const double u = a / 16;
            t[k + 15] = std::sin(M_PI * a) / (M_PI * a) * bessel(8 * std::sqrt(1 - u * u)) / 427.56411572180474;
            sum += t[k + 15];
        }
        float f[32];
        for (int k = 0; k < 32; ++k) f[k] = static_cast<float>(t[k] / sum);
        for (size_t i = 0; i < x.size(); ++i) {
            float y = 0;
            for (int k = 0; k < 32; ++k) {
                const int64_t src = static_cast<int64_t>(i) + k - 15;
                const float v = src >= 0 && src < static_cast<int64_t>(x.size()) ? x[static_cast<size_t>(src)] : 0.0f;
                y += v * f[k];
            }
            env[i] = std::max(env[i], std::fabs(y));
        }
    }
    return env;
}

} // namespace

TEST(TruePeak, SilenceAndEmptyMeasureTheFloor) {
    EXPECT_EQ(TruePeak::measureDb(PCMAudio()), -120.0);
    EXPECT_EQ(TruePeak::measureDb(PCMAudio::mono({})), -120.0);
    EXPECT_EQ(TruePeak::measureDb(PCMAudio::mono(std::vector<float>(5000, 0.0f))), -120.0);
}

TEST(TruePeak, QuarterRateSineAtFortyFiveDegreesReadsThreeDecibelsOverItsSamples) {
    // Every sample sits at ±0.707 of the amplitude; the crest lies half-way between two.
    const auto tone = sine(12000, 0.5, 48000, M_PI / 4);
    const double sampleDb = 20 * std::log10(std::fabs(tone[0]));
    const auto env = TruePeak::envelope(tone);
    const float inside = *std::max_element(env.begin() + 100, env.end() - 100);
    EXPECT_NEAR(20 * std::log10(inside) - sampleDb, 3.01, 0.01);
    // The abrupt start and end ring a little higher, as any zero-padded interpolator does.
    EXPECT_NEAR(TruePeak::measureDb(PCMAudio::mono(tone)) - sampleDb, 3.0, 0.15);
}

TEST(TruePeak, EnvelopeEqualsItsDefinitionAtBothEndsAndInside) {
    for (size_t n : {size_t(1), size_t(7), size_t(16), size_t(31), size_t(33), size_t(100), size_t(1000)}) {
        const auto x = testsignals::noise(static_cast<int64_t>(n), n);
        const auto expected = plainEnvelope(x);
        const auto env = TruePeak::envelope(x);
        ASSERT_EQ(env.size(), n);
        for (size_t i = 0; i < n; ++i) ASSERT_NEAR(env[i], expected[i], 1e-5f) << "n " << n << " i " << i;
    }
}

TEST(TruePeak, MeasureSkipsNothingThatHoldsThePeak) {
    // A quiet bed with one inter-sample overshoot far from the loudest samples.
    std::vector<float> x = sine(1000, 0.1, 48000 * 5);
    x[100000] = 0.6f;
    const auto burst = sine(12000, 0.55, 64, M_PI / 4);
    std::copy(burst.begin(), burst.end(), x.begin() + 200000);
    const auto env = TruePeak::envelope(x);
    const float peak = *std::max_element(env.begin(), env.end());
    EXPECT_DOUBLE_EQ(TruePeak::measureDb(PCMAudio::mono(x)), 20 * std::log10(static_cast<double>(peak)));
}

TEST(TruePeak, RaiseKeepsTheLargerValue) {
    auto a = sine(100, 0.5, 2000);
    auto b = sine(300, 0.4, 2000, 1.0);
    auto env = TruePeak::envelope(a);
    TruePeak::raise(env, b);
    const auto ea = TruePeak::envelope(a), eb = TruePeak::envelope(b);
    for (size_t i = 0; i < env.size(); ++i) ASSERT_EQ(env[i], std::max(ea[i], eb[i]));
}
