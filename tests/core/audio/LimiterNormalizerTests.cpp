#include "Core/Audio/LoudnessNormalizer.hpp"
#include "Core/Audio/LoudnessProfile.hpp"
#include "Core/Audio/PCMAudio.hpp"
#include "Core/Audio/TruePeak.hpp"
#include "Core/Audio/TruePeakLimiter.hpp"
#include "tests/core/audio/TestSignals.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

using namespace korvel;
using testsignals::sine;

namespace {

// Speech-like: noise bursts of varying level with pauses.
std::vector<float> phrases(int64_t frames, double level) {
    std::vector<float> out(static_cast<size_t>(frames));
    uint64_t s = 99;
    float low = 0;
    for (int64_t i = 0; i < frames; ++i) {
        const float w = static_cast<float>(testsignals::uniform(s));
        low += (w - low) * 0.2f;
        const double t = i / 48000.0;
        const double gate = std::fmod(t, 2.0) < 1.4 ? 1.0 : 0.0;
        out[static_cast<size_t>(i)] = static_cast<float>(level * gate * (0.6 + 0.4 * std::sin(2 * M_PI * 3 * t)) * low);
    }
    return out;
}

} // namespace

TEST(TruePeakLimiter, AudioUnderTheCeilingComesBackUntouched) {
    const PCMAudio audio({sine(440, 0.5, 48000), sine(660, 0.4, 48000)});
    const auto out = TruePeakLimiter::apply(audio, -1);
    EXPECT_EQ(out.buffer, audio);
    EXPECT_TRUE(out.gain.empty());
    EXPECT_EQ(out.reductionDb, 0);
    EXPECT_TRUE(TruePeakLimiter::apply(PCMAudio(), -1).gain.empty());
}

TEST(TruePeakLimiter, BringsPlusTwoUnderMinusOne) {
    auto loud = sine(997, 1.0, 48000 * 2);
    for (auto& v : loud) v *= 1.2589f; // +2 dB
    const PCMAudio audio({loud, sine(300, 0.9, 48000 * 2)});
    ASSERT_NEAR(TruePeak::measureDb(audio), 2.0, 0.05);
    const auto out = TruePeakLimiter::apply(audio, -1);
    EXPECT_LE(TruePeak::measureDb(out.buffer), -0.98);
    EXPECT_GE(out.reductionDb, 3.0);
    EXPECT_EQ(out.gain.size(), 96000u);
    EXPECT_LE(*std::max_element(out.gain.begin(), out.gain.end()), 1.0f);
}

TEST(TruePeakLimiter, SpikeDipStartsAheadReachesDepthAndReleases) {
    std::vector<float> x(48000, 0.0f);
    x[10000] = 2.0f;
    const float ceiling = 0.5f;
    const auto env = TruePeak::envelope(x);
    const size_t first = static_cast<size_t>(std::find_if(env.begin(), env.end(), [&](float v) { return v > ceiling; }) - env.begin());
    ASSERT_LE(first, 10000u);
    const auto g = TruePeakLimiter::gainCurve(PCMAudio::mono(x), ceiling);
    // The dip starts 239 frames ahead of the first frame over the ceiling and falls steadily.
    EXPECT_EQ(g[first - 240], 1.0f);
    EXPECT_LT(g[first - 239], 1.0f);
    for (size_t i = first - 239; i < 10000; ++i) ASSERT_LE(g[i + 1], g[i]);
    // Full depth at the spike: the spike lands on the ceiling.
    EXPECT_LE(2.0f * g[10000], ceiling * 1.0001f);
    // Release with a 100 ms time constant.
    EXPECT_GT(g[10000 + 4800], 0.6f);
    EXPECT_LT(g[10000 + 4800], 0.8f);
    EXPECT_GT(g[47999], 0.99f);
    for (float v : g) ASSERT_LE(v, 1.0f);
}

TEST(TruePeakLimiter, GainCurveFollowsItsDefinition) {
    // Bursts over the ceiling at irregular places, in two different channels.
    std::vector<float> left(5000, 0.1f), right(5000, -0.1f);
    for (size_t at : {300u, 301u, 777u, 2000u, 2239u, 2480u, 4990u}) left[at] = 0.9f;
    for (size_t at : {1000u, 1500u, 4000u}) right[at] = -0.7f;
    const float c = 0.5f;
    const auto curve = TruePeakLimiter::gainCurve(PCMAudio({left, right}), c);

    auto env = TruePeak::envelope(left);
    TruePeak::raise(env, right);
    const size_t n = env.size();
    std::vector<float> need(n), ahead(n), released(n);
    for (size_t i = 0; i < n; ++i) need[i] = env[i] > c ? c / env[i] : 1.0f;
    for (size_t i = 0; i < n; ++i) ahead[i] = *std::min_element(need.begin() + i, need.begin() + std::min(n, i + 240));
    float r = 1.0f;
    for (size_t i = 0; i < n; ++i) released[i] = r = ahead[i] < r ? ahead[i] : r * 0.9997917f + ahead[i] * 0.00020831823f;
    ASSERT_EQ(curve.size(), n);
    for (size_t i = 0; i < n; ++i) {
        double sum = 0;
        for (int k = 0; k < 240; ++k) sum += i >= size_t(k) ? released[i - k] : released[0];
        ASSERT_NEAR(curve[i], sum / 240, 1e-6) << i;
    }
}

TEST(LoudnessNormalizer, SilenceComesBackUnchanged) {
    const PCMAudio silent = PCMAudio::mono(std::vector<float>(48000, 0.0f));
    const auto r = LoudnessNormalizer::normalize(silent, -16, -1);
    EXPECT_EQ(r.buffer, silent);
    EXPECT_FALSE(r.reached);
    EXPECT_EQ(r.gainDb, 0);
    EXPECT_EQ(r.integratedLufs, -70);
    EXPECT_EQ(r.truePeakDb, -120);
}

TEST(LoudnessNormalizer, QuietSpeechReachesTheTargetInOneGain) {
    PCMAudio speech = PCMAudio::mono(phrases(48000 * 10, 0.3));
    speech = speech.scaled(-30 - Loudness::integrated(speech));
    ASSERT_NEAR(Loudness::integrated(speech), -30, 0.01);
    ASSERT_LT(TruePeak::measureDb(speech), -15);
    const auto r = LoudnessNormalizer::normalize(speech, -16, -1);
    EXPECT_TRUE(r.reached);
    EXPECT_NEAR(r.gainDb, 14, 0.01);
    EXPECT_EQ(r.reductionDb, 0);
    EXPECT_NEAR(r.integratedLufs, -16, 0.2);
}

TEST(LoudnessNormalizer, DenseSquareWaveKeepsTheClosestAttempt) {
    // A square wave is as loud as sound gets for its peak: under a -1 dBTP
    // ceiling it cannot reach 0 LUFS, whatever the gain.
    std::vector<float> square(48000 * 3);
    for (size_t i = 0; i < square.size(); ++i) square[i] = (i / 48) % 2 ? 1.0f : -1.0f;
    const PCMAudio audio = PCMAudio::mono(square);
    const auto r = LoudnessNormalizer::normalize(audio, 0, -1);
    EXPECT_FALSE(r.reached);
    EXPECT_LE(r.truePeakDb, -1 + 0.02);
    EXPECT_GT(r.reductionDb, 0);
    // The returned buffer is the one its gain made.
    const auto again = TruePeakLimiter::apply(audio.scaled(r.gainDb), -1);
    EXPECT_EQ(again.buffer, r.buffer);
    EXPECT_DOUBLE_EQ(Loudness::integrated(r.buffer), r.integratedLufs);
}
