#include "Core/Audio/Decibels.hpp"
#include "Core/Audio/LoudnessProfile.hpp"
#include "Core/Audio/PCMAudio.hpp"
#include "tests/core/audio/TestSignals.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

using namespace korvel;
using testsignals::sine;

TEST(Loudness, FullScaleSineMeasuresMinusThreeMonoAndZeroStereo) {
    const auto tone = sine(997, 1.0, 48000);
    EXPECT_NEAR(Loudness::integrated(PCMAudio::mono(tone)), -3.01, 0.02);
    EXPECT_NEAR(Loudness::integrated(PCMAudio({tone, tone})), 0.0, 0.02);
}

TEST(Loudness, EmptyAndSilentMeasureTheFloor) {
    EXPECT_EQ(LoudnessProfile(PCMAudio()).steps.size(), 0u);
    EXPECT_EQ(Loudness::integrated(PCMAudio()), -70.0);
    EXPECT_EQ(Loudness::integrated(PCMAudio::mono({})), -70.0);
    EXPECT_EQ(Loudness::integrated(PCMAudio::mono(std::vector<float>(96000, 0.0f))), -70.0);
}

TEST(Loudness, StepsCoverEveryFrameAndTheLastStepIsItsOwnMean) {
    // 1000 frames: two whole steps and one of 40 frames.
    std::vector<float> dc(1000, 0.5f);
    const LoudnessProfile profile(PCMAudio::mono(dc));
    ASSERT_EQ(profile.steps.size(), 3u);
    EXPECT_EQ(profile.frameCount, 1000);

    // A steady 1200 Hz tone: 40 frames are one whole cycle and a step twelve,
    // so a last step of 40 frames, as the mean of its own frames, equals the
    // whole steps before it (divided by 480 it would be twelve times less).
    auto tone = sine(1200, 0.5, 480 * 100 + 40);
    const LoudnessProfile steady(PCMAudio::mono(tone));
    ASSERT_EQ(steady.steps.size(), 101u);
    EXPECT_NEAR(steady.steps[100], steady.steps[99], steady.steps[99] * 1e-3);
    EXPECT_NEAR(steady.steps[99], steady.steps[98], steady.steps[98] * 1e-3);
}

TEST(Loudness, ShortRangesAreUngatedMeans) {
    // A 997 Hz tone of amplitude 0.5 is 6.02 dB below full scale's -3.01
    // LUFS: -9.03. 300 ms (30 steps) of which the tone fills 15 and silence
    // 15 is no block, so nothing is gated: the mean of the 30 steps is half
    // the tone's power, -12.04 (gating the silence away would give -9.03).
    std::vector<float> programme(48000 * 2, 0.0f);
    auto tone = sine(997, 0.5, 48000);
    std::copy(tone.begin(), tone.end(), programme.begin());
    const LoudnessProfile half(PCMAudio::mono(programme));
    EXPECT_NEAR(half.lufs(70 * 480, 100 * 480), -9.03, 0.02);
    EXPECT_NEAR(half.lufs(85 * 480, 115 * 480), -12.04, 0.03);

    auto steady = sine(997, 0.5, 48000 * 3);
    const LoudnessProfile profile(PCMAudio::mono(steady));
    const double expected = 10 * std::log10((profile.steps[50] + profile.steps[51]) / 2) - 0.691;
    EXPECT_NEAR(profile.lufs(50 * 480, 52 * 480), expected, 1e-9);
    EXPECT_EQ(profile.lufs(480, 480), -70.0);
    EXPECT_EQ(profile.lufs(0, 1), std::max(-70.0, 10 * std::log10(profile.steps[0]) - 0.691));
    EXPECT_EQ(profile.lufs(-5000, 1), profile.lufs(0, 1));
}

TEST(Loudness, BlocksNeedFortyStepsEach) {
    // Steps 0..39 loud, then quiet ones: 49 steps still form one block, 50 form two.
    std::vector<float> samples(480 * 60, 0.0f);
    auto loud = sine(997, 0.5, 480 * 40);
    std::copy(loud.begin(), loud.end(), samples.begin());
    auto quiet = sine(997, 0.05, 480 * 20);
    std::copy(quiet.begin(), quiet.end(), samples.begin() + 480 * 40);
    const LoudnessProfile profile(PCMAudio::mono(samples));
    const double one = profile.lufs(0, 49 * 480);
    EXPECT_DOUBLE_EQ(one, profile.lufs(0, 40 * 480));
    EXPECT_NE(profile.lufs(0, 50 * 480), one);
}

TEST(Loudness, HalfSilenceMeasuresLikeTheTone) {
    auto tone = sine(997, 0.5, 48000 * 20);
    std::vector<float> programme(48000 * 40, 0.0f);
    std::copy(tone.begin(), tone.end(), programme.begin() + 48000 * 20);
    EXPECT_NEAR(Loudness::integrated(PCMAudio::mono(programme)), Loudness::integrated(PCMAudio::mono(tone)), 0.05);
}

TEST(Loudness, LongChannelsMatchOneContinuousFilterPass) {
    // 100 s of noise is filtered as several stretches side by side; every
    // step must still equal a plain sample-by-sample pass of both sections.
    const int64_t frames = 48000 * 100 + 123;
    std::vector<float> x(static_cast<size_t>(frames));
    uint64_t s = 12345;
    for (auto& v : x) v = static_cast<float>(testsignals::uniform(s) * 0.3);
    const LoudnessProfile profile(PCMAudio::mono(x));

    struct Biquad {
        double b0, b1, b2, a1, a2, x1 = 0, x2 = 0, y1 = 0, y2 = 0;
        double operator()(double in) {
            const double y = b0 * in + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
            x2 = x1, x1 = in, y2 = y1, y1 = y;
            return y;
        }
    };
    Biquad shelf{1.53512485958697, -2.69169618940638, 1.19839281085285, -1.69065929318241, 0.73248077421585};
    Biquad highPass{1.0, -2.0, 1.0, -1.99004745483398, 0.99007225036621};
    ASSERT_EQ(profile.steps.size(), static_cast<size_t>((frames + 479) / 480));
    double sum = 0;
    for (int64_t i = 0; i < frames; ++i) {
        const double y = highPass(shelf(x[static_cast<size_t>(i)]));
        sum += y * y;
        const bool last = i + 1 == frames;
        if ((i + 1) % 480 == 0 || last) {
            const size_t step = static_cast<size_t>(i / 480);
            const double expected = sum / static_cast<double>(last ? frames - static_cast<int64_t>(step) * 480 : 480);
            ASSERT_NEAR(profile.steps[step], expected, expected * 1e-9) << "step " << step;
            sum = 0;
        }
    }
}

TEST(Loudness, EqualChannelsAddTheirPowerTwice) {
    auto left = sine(440, 0.3, 48000 * 2);
    auto right = sine(1000, 0.2, 48000 * 2);
    const LoudnessProfile a(PCMAudio({left, left, right}));
    const LoudnessProfile l(PCMAudio::mono(left));
    const LoudnessProfile r(PCMAudio::mono(right));
    for (size_t i = 0; i < a.steps.size(); ++i) EXPECT_DOUBLE_EQ(a.steps[i], l.steps[i] + l.steps[i] + r.steps[i]);
}
