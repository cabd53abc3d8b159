#include "Core/Audio/Decibels.hpp"
#include "Core/Audio/GainCurve.hpp"
#include "Core/Audio/PCMAudio.hpp"
#include "Core/Audio/PhraseLeveling.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

using namespace korvel;

TEST(PCMAudio, EmptyHasNoFramesNoDurationAndNoMix) {
    const PCMAudio empty;
    EXPECT_EQ(empty.frameCount(), 0);
    EXPECT_EQ(empty.durationUs(), 0);
    EXPECT_TRUE(empty.monoMix().empty());
}

TEST(PCMAudio, FramesAndMicrosecondsRoundHalfAwayFromZero) {
    struct Case {
        int64_t us, frames;
    } cases[] = {{1'000'000, 48'000}, {10, 0}, {11, 1}, {-11, -1}, {0, 0}};
    for (const auto& c : cases) EXPECT_EQ(PCMAudio::frames(c.us), c.frames) << c.us;
    EXPECT_EQ(PCMAudio::microseconds(1), 21);
    EXPECT_EQ(PCMAudio::microseconds(48'000), 1'000'000);
    EXPECT_DOUBLE_EQ(PCMAudio::framePosition(10), 0.48);
    EXPECT_EQ(PCMAudio::mono(std::vector<float>(48'000)).durationUs(), 1'000'000);
}

TEST(PCMAudio, MonoMixAveragesChannelsAndKeepsMonoAsItIs) {
    EXPECT_EQ(PCMAudio({{1.0f, 0.5f}, {3.0f, -0.5f}}).monoMix(), (std::vector<float>{2.0f, 0.0f}));
    const std::vector<float> mono = {0.1f, -0.2f, 0.3f};
    EXPECT_EQ(PCMAudio::mono(mono).monoMix(), mono);
}

TEST(PCMAudio, EqualNeighbourChannelsAreTransformedOnce) {
    const std::vector<float> a = {0.1f, 0.2f}, b = {0.3f, 0.4f};
    int calls = 0;
    const PCMAudio out = PCMAudio({a, a, b, a}).mapChannels([&](const std::vector<float>& c) {
        ++calls;
        std::vector<float> r = c;
        r[0] += 1.0f;
        return r;
    });
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(out.channels[0], out.channels[1]);
    EXPECT_FLOAT_EQ(out.channels[2][0], 1.3f);
}

TEST(PCMAudio, ScaledByZeroDecibelsIsBitIdentical) {
    const PCMAudio audio({{0.1f, -0.7f, 1e-30f}, {0.1f, -0.7f, 1e-30f}});
    EXPECT_EQ(audio.scaled(0), audio);
    const PCMAudio half = audio.scaled(-6);
    EXPECT_EQ(half.channels[0], half.channels[1]);
    EXPECT_FLOAT_EQ(half.channels[0][0], 0.1f * Decibels::linear(-6));
}

TEST(PCMAudio, FoldStereoAppendsPairsAndIgnoresAnOddSample) {
    const float interleaved[] = {1, 3, -1, 1, 9};
    std::vector<float> out = {7};
    PCMAudio::foldStereo(interleaved, 5, out);
    EXPECT_EQ(out, (std::vector<float>{7, 2, 0}));
    PCMAudio::foldStereo(interleaved, 1, out);
    PCMAudio::foldStereo(nullptr, 4, out);
    EXPECT_EQ(out.size(), 3u);
}

TEST(Decibels, Conversions) {
    EXPECT_EQ(Decibels::fromAmplitude(0, -120), -120);
    EXPECT_EQ(Decibels::fromAmplitude(1), 0);
    EXPECT_EQ(Decibels::fromPower(-1, -70), -70);
    EXPECT_EQ(Decibels::fromPower(1e-9, -70), -70);
    EXPECT_NEAR(Decibels::fromPower(100), 20, 1e-12);
    EXPECT_NEAR(Decibels::linear(-6), 0.501, 0.001);
    EXPECT_NEAR(Decibels::power(10), 10, 1e-12);
}

TEST(GainCurve, WithoutPointsEveryGainIsOne) {
    const auto g = GainCurve().linearGains(100, 3.5);
    ASSERT_EQ(g.size(), 100u);
    for (float v : g) EXPECT_EQ(v, 1.0f);
    EXPECT_TRUE(GainCurve().linearGains(0, 0).empty());
}

TEST(GainCurve, OnePointHoldsBeforeAndAfter) {
    const auto g = GainCurve({{500'000, -6}}).linearGains(48'000, 0);
    EXPECT_NEAR(g.front(), 0.501, 0.001);
    EXPECT_NEAR(g.back(), 0.501, 0.001);
}

TEST(GainCurve, RampsLinearlyInDecibels) {
    const auto g = GainCurve({{1'000'000, -20}, {0, 0}}).linearGains(48'001, 0);
    EXPECT_FLOAT_EQ(g[0], 1.0f);
    EXPECT_NEAR(g[24'000], 0.316, 0.001);
    EXPECT_NEAR(g[48'000], 0.1, 1e-6);
    // A stretch that starts inside the ramp continues it.
    const auto part = GainCurve({{0, 0}, {1'000'000, -20}}).linearGains(10, 24'000);
    EXPECT_NEAR(part[0], g[24'000], 1e-6);
}

TEST(GainCurve, EqualTimesMakeAStep) {
    // Ramp 0 → -10 dB over the first 0.5 s, then a step to -20 dB held after.
    const GainCurve curve({{0, 0}, {500'000, -10}, {500'000, -20}});
    const auto g = curve.linearGains(48'000, 0);
    EXPECT_NEAR(g[23'999], std::pow(10.0, -10.0 * 23'999 / 24'000 / 20), 1e-5);
    EXPECT_NEAR(g[24'000], 0.1, 1e-6);
    EXPECT_NEAR(g[47'999], 0.1, 1e-6);
}

TEST(GainCurve, ExtremeClientTimesStayInside) {
    const GainCurve curve({{std::numeric_limits<int64_t>::min(), -6}, {std::numeric_limits<int64_t>::max(), 6}});
    const auto g = curve.linearGains(1000, 0);
    ASSERT_EQ(g.size(), 1000u);
    EXPECT_NEAR(g[0], 1.0, 1e-3);
}

TEST(PhraseLeveling, GainsOfMeasuredAndBorrowedPhrases) {
    using P = MeasuredPhrase;
    struct Case {
        std::vector<P> phrases;
        std::vector<double> gains;
    } cases[] = {
        {{}, {}},
        {{{0, 1'000'000, -30}}, {14}},
        {{{0, 1'000'000, -50}, {1'000'000, 2'000'000, 10}}, {24, -24}},
        {{{0, 1'000'000, -19}, {1'000'000, 1'200'000, -60}, {1'200'000, 2'200'000, -14}}, {3, 3, -2}},
        {{{0, 200'000, -60}, {200'000, 1'200'000, -21}}, {5, 5}},
        {{{0, 200'000, -30}, {300'000, 500'000, -30}}, {0, 0}},
        {{{0, 400'000, -20}, {0, 399'999, -40}}, {4, 4}},
    };
    for (const auto& c : cases) EXPECT_EQ(PhraseLeveling::gains(c.phrases, -16), c.gains);
}
