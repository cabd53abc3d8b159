#include "Core/Analysis/Waveform.hpp"

#include <gtest/gtest.h>

#include <vector>

using namespace korvel;

TEST(Waveform, BucketLengths) {
    const std::pair<int64_t, int64_t> cases[] = {
        {0, 10'000},           {-5, 10'000},          {1, 10'000},
        {60'000'000, 10'000},  {80'000'000, 10'000},  {80'000'001, 20'000},
        {80'010'000, 20'000},  {120'000'000, 20'000}, {3'600'000'000, 450'000},
    };
    for (auto [duration, bucket] : cases) EXPECT_EQ(Waveform::bucketUs(duration), bucket) << duration;
}

TEST(Waveform, PeaksOfShortSounds) {
    EXPECT_EQ(Waveform::peaks(std::vector<float>{}), (Waveform::Result{10'000, {}}));
    EXPECT_EQ(Waveform::peaks(std::vector<float>{-0.5f}), (Waveform::Result{10'000, {0.5f}}));
    EXPECT_EQ(Waveform::peaks(std::vector<float>{0.2f, 1.7f}).peaks, std::vector<float>{1.0f});
    EXPECT_EQ(Waveform::peaks(std::vector<float>{-3.0f}).peaks, std::vector<float>{1.0f});

    std::vector<float> samples(481, 0.25f);
    samples[17] = -0.75f;
    samples[480] = 0.125f;
    EXPECT_EQ(Waveform::peaks(samples), (Waveform::Result{10'000, {0.75f, 0.125f}}));
}

TEST(Waveform, LongSoundsWidenTheBuckets) {
    // 80.01 s: 20 ms buckets of 960 frames, the last one half full.
    std::vector<float> samples(3'840'480, 0.0f);
    samples[959] = 0.5f;
    samples[960] = -0.25f;
    samples.back() = 0.1f;
    const Waveform::Result result = Waveform::peaks(samples);
    EXPECT_EQ(result.bucketUs, 20'000);
    ASSERT_EQ(result.peaks.size(), 4001u);
    EXPECT_EQ(result.peaks[0], 0.5f);
    EXPECT_EQ(result.peaks[1], 0.25f);
    EXPECT_EQ(result.peaks[2], 0.0f);
    EXPECT_EQ(result.peaks.back(), 0.1f);
}
