#include "Core/Audio/DelayEstimator.hpp"
#include "Core/Audio/PCMAudio.hpp"
#include "Core/Audio/TimeScale.hpp"
#include "Core/Jobs.hpp"
#include "tests/core/audio/TestSignals.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>

using namespace korvel;
using testsignals::noise;
using testsignals::sine;

namespace {

// The strongest frequency in Hz, by a plain DFT scan around a guess.
double strongestHz(const std::vector<float>& x, double from, double to) {
    double best = 0, bestHz = 0;
    for (double hz = from; hz <= to; hz += 1) {
        std::complex<double> sum;
        for (size_t i = 0; i < x.size(); ++i) sum += static_cast<double>(x[i]) * std::polar(1.0, -2 * M_PI * hz * i / 48000.0);
        if (std::abs(sum) > best) best = std::abs(sum), bestHz = hz;
    }
    return bestHz;
}

} // namespace

TEST(TimeScale, LengthsFollowTheSpeed) {
    struct Case {
        size_t input;
        double speed;
        size_t output;
    } cases[] = {{48000, 2.0, 24000}, {48000, 0.5, 96000}, {48000, 3.0, 16000}, {1000, 2.0, 500},
                 {5000, 2.0, 2500},   {3, 4.0, 1},         {1, 3.0, 0},         {5, 2.0, 3}};
    for (const auto& c : cases) EXPECT_EQ(TimeScale::stretch(sine(300, 0.5, c.input), c.speed).size(), c.output) << c.input << " " << c.speed;
}

TEST(TimeScale, NormalOrMeaninglessSpeedsReturnTheInput) {
    const auto x = noise(10000, 1);
    for (double speed : {1.0, 0.0, -2.0, std::numeric_limits<double>::quiet_NaN()}) EXPECT_EQ(TimeScale::stretch(x, speed), x);
}

TEST(TimeScale, ConstantStaysConstantAfterTheOpeningWindowEdge) {
    // Only the first window covers the first frames; where its weight is
    // below the floor they stay unnormalised (the very first is exactly 0).
    const auto out = TimeScale::stretch(std::vector<float>(48000, 0.5f), 1.5);
    ASSERT_EQ(out.size(), 32000u);
    EXPECT_EQ(out[0], 0.0f);
    for (size_t i = 0; i < 20; ++i) ASSERT_LT(out[i], 0.01f) << i;
    for (size_t i = 20; i < out.size(); ++i) ASSERT_NEAR(out[i], 0.5f, 1e-5f) << i;
}

TEST(TimeScale, ToneKeepsItsPitch) {
    for (double speed : {0.7, 1.6}) {
        const auto out = TimeScale::stretch(sine(440, 0.5, 48000), speed);
        const std::vector<float> middle(out.begin() + 4800, out.begin() + 4800 + 9600);
        EXPECT_NEAR(strongestHz(middle, 380, 500), 440, 5) << speed;
    }
}

TEST(TimeScale, ResampledInterpolatesLinearly) {
    EXPECT_EQ(TimeScale::resampled({1, 3}, 3), (std::vector<float>{1, 2, 3}));
    EXPECT_EQ(TimeScale::resampled({7}, 4), (std::vector<float>{7, 7, 7, 7}));
    EXPECT_EQ(TimeScale::resampled({}, 2), (std::vector<float>{0, 0}));
}

TEST(TimeScale, SpeedsThatWouldExplodeTheLengthAreRefused) {
    const auto x = noise(48000, 2);
    for (double speed : {1e-6, 1e-300, std::numeric_limits<double>::denorm_min()}) {
        try {
            TimeScale::stretch(x, speed);
            FAIL() << speed;
        } catch (const EngineFailure& failure) {
            EXPECT_EQ(failure.code, -32602);
        }
    }
    EXPECT_TRUE(TimeScale::stretch(x, std::numeric_limits<double>::infinity()).empty());
}

TEST(DelayEstimator, FindsAKnownShift) {
    const auto reference = noise(48000 * 3, 3);
    std::vector<float> delayed(1000, 0.0f);
    delayed.insert(delayed.end(), reference.begin(), reference.end());
    const auto r = DelayEstimator::estimate(reference, delayed, 4800);
    EXPECT_EQ(r.lagFrames, 1000);
    EXPECT_GT(r.score, 0.99);
    const auto same = DelayEstimator::estimate(reference, reference, 4800);
    EXPECT_EQ(same.lagFrames, 0);
    EXPECT_NEAR(same.score, 1.0, 1e-9);
}

TEST(DelayEstimator, SilenceMeasuresNothing) {
    const auto x = noise(48000, 4);
    const std::vector<float> silent(48000, 0.0f);
    EXPECT_EQ(DelayEstimator::estimate(silent, x, 100), (DelayEstimator::Result{0, 0}));
    EXPECT_EQ(DelayEstimator::estimate(x, silent, 100), (DelayEstimator::Result{0, 0}));
    EXPECT_EQ(DelayEstimator::estimate({}, x, 100), (DelayEstimator::Result{0, 0}));
}

TEST(DelayEstimator, CorrelatesTheLoudestEightSeconds) {
    // 20 s, loud from second 7 to 15: only that stretch is correlated, so a
    // delayed copy that differs outside it still measures cleanly.
    auto reference = noise(48000 * 20, 5);
    for (size_t i = 0; i < reference.size(); ++i)
        if (i < 48000 * 7 || i >= 48000 * 15) reference[i] *= 0.01f;
    std::vector<float> delayed(480, 0.0f);
    delayed.insert(delayed.end(), reference.begin(), reference.end());
    for (size_t i = 0; i < 48000 * 6; ++i) delayed[i] = 0; // damage outside the window
    const auto r = DelayEstimator::estimate(reference, delayed, 2000);
    EXPECT_EQ(r.lagFrames, 480);
    EXPECT_GT(r.score, 0.99);
    // Exactly 8 s is used whole from the start.
    const auto exact = noise(384000, 6);
    std::vector<float> shifted(7, 0.0f);
    shifted.insert(shifted.end(), exact.begin(), exact.end());
    EXPECT_EQ(DelayEstimator::estimate(exact, shifted, 100).lagFrames, 7);
}

TEST(DelayEstimator, LongLagsUseTransformsBeyondTheDirectLength) {
    // 8 s plus 20 000 frames of lag needs a 2^19-point transform.
    const auto reference = noise(384000, 7);
    std::vector<float> delayed(12345, 0.0f);
    delayed.insert(delayed.end(), reference.begin(), reference.end());
    const auto r = DelayEstimator::estimate(reference, delayed, 20000);
    EXPECT_EQ(r.lagFrames, 12345);
    EXPECT_GT(r.score, 0.95);
}
