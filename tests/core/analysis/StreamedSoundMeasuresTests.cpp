#include "Core/Analysis/StreamedSoundMeasures.hpp"
#include "tests/core/audio/TestSignals.hpp"

#include <gtest/gtest.h>

using namespace korvel;

namespace {
// Talk and pauses: tone bursts over faint noise, with an odd tail.
std::vector<float> talkWithPauses(int64_t seconds) {
    std::vector<float> out;
    const auto hiss = testsignals::noise(seconds * 48'000 + 173, 11);
    for (size_t i = 0; i < hiss.size(); ++i) out.push_back(0.001f * hiss[i]);
    for (int64_t s = 0; s < seconds; s += 2) {
        const auto tone = testsignals::sine(220 + 20 * s, 0.4, 48'000 + 7 * s);
        for (size_t i = 0; i < tone.size() && s * 48'000 + i < out.size(); ++i) out[s * 48'000 + i] += tone[i];
    }
    out[12'345] = 1.5f; // a clipped sample
    return out;
}
} // namespace

TEST(StreamedSoundMeasures, PiecesGiveTheWholeSoundResults) {
    const std::vector<float> sound = talkWithPauses(9);
    StreamedSoundMeasures streamed(true);
    const size_t pieces[] = {1, 479, 480, 1000, 4096, 70'000};
    size_t at = 0;
    for (size_t i = 0; at < sound.size(); ++i) {
        const size_t n = std::min(pieces[i % std::size(pieces)], sound.size() - at);
        streamed.append({sound.data() + at, n});
        at += n;
    }
    const auto results = streamed.finish();
    EXPECT_EQ(results.silences, SilenceDetector::analyze(sound));
    EXPECT_FALSE(results.silences.runs.empty());
    EXPECT_EQ(results.waveform, Waveform::peaks(sound));
    const LoudnessReading whole = LoudnessAnalyzer::analyze(PCMAudio({sound, sound}));
    ASSERT_TRUE(results.loudness);
    EXPECT_DOUBLE_EQ(results.loudness->integratedLufs, whole.integratedLufs);
    EXPECT_DOUBLE_EQ(results.loudness->truePeakDb, whole.truePeakDb);
    EXPECT_EQ(results.loudness->phrases, whole.phrases);
}

TEST(StreamedSoundMeasures, NoSamplesAndLongSoundBuckets) {
    StreamedSoundMeasures none(true);
    const auto empty = none.finish();
    EXPECT_EQ(empty.silences, SilenceDetector::analyze(std::span<const float>{}));
    EXPECT_EQ(empty.waveform.bucketUs, 10'000);
    EXPECT_TRUE(empty.waveform.peaks.empty());
    EXPECT_EQ(empty.loudness->truePeakDb, -120);

    // Two hours in big pieces: 900 ms buckets, 8000 of them, and a few
    // bytes kept per 10 ms instead of the samples.
    StreamedSoundMeasures hours(false);
    const std::vector<float> minute(60 * 48'000, 0.25f);
    for (int m = 0; m < 120; ++m) hours.append(minute);
    EXPECT_LT(hours.heldBytes(), minute.size() * sizeof(float) * 120 / 50);
    const auto r = hours.finish();
    EXPECT_EQ(r.waveform.bucketUs, 900'000);
    EXPECT_EQ(r.waveform.peaks.size(), 8000u);
    EXPECT_FALSE(r.loudness);
}

TEST(StreamedLoudness, TwoDifferentChannelsInPiecesGiveTheWholeSoundReading) {
    std::vector<float> left = talkWithPauses(7), right = left;
    for (size_t i = 0; i < right.size(); ++i) right[i] *= (i / 48'000) % 3 == 0 ? 0.2f : 0.9f;
    StreamedLoudness streamed(2);
    for (size_t at = 0; at < left.size(); at += 1234) {
        const size_t n = std::min<size_t>(1234, left.size() - at);
        streamed.append({{left.data() + at, n}, {right.data() + at, n}});
    }
    const LoudnessReading reading = streamed.finish();
    const LoudnessReading whole = LoudnessAnalyzer::analyze(PCMAudio({left, right}));
    EXPECT_DOUBLE_EQ(reading.integratedLufs, whole.integratedLufs);
    EXPECT_DOUBLE_EQ(reading.truePeakDb, whole.truePeakDb);
    EXPECT_EQ(reading.phrases, whole.phrases);
    EXPECT_FALSE(reading.phrases.empty());
}
