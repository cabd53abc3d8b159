#include "Core/Analysis/LoudnessAnalyzer.hpp"
#include "Core/Analysis/LoudnessChannels.hpp"
#include "Core/Audio/LoudnessProfile.hpp"
#include "Core/Audio/TruePeak.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using namespace korvel;

namespace {
void tone(std::vector<float>& out, int64_t frames, double amplitude) {
    for (int64_t i = 0; i < frames; ++i) out.push_back(float(amplitude * std::sin(2 * M_PI * 997.0 * double(i) / 48'000)));
}

void pause(std::vector<float>& out, int64_t frames) { out.insert(out.end(), static_cast<size_t>(frames), 0.0f); }
} // namespace

TEST(LoudnessAnalyzer, SilenceHasNoPhrases) {
    const LoudnessReading reading = LoudnessAnalyzer::analyze(PCMAudio::mono(std::vector<float>(48'000)));
    EXPECT_EQ(reading, (LoudnessReading{-70, -120, {}}));
    EXPECT_EQ(LoudnessAnalyzer::analyze(PCMAudio{}), (LoudnessReading{-70, -120, {}}));
}

TEST(LoudnessAnalyzer, ASoundWithoutPausesIsOnePhrase) {
    std::vector<float> samples;
    tone(samples, 96'000, 0.1);
    const PCMAudio audio = PCMAudio::mono(samples);
    const LoudnessReading reading = LoudnessAnalyzer::analyze(audio);
    const LoudnessProfile profile(audio);
    ASSERT_EQ(reading.phrases.size(), 1u);
    const PhraseLoudness& phrase = reading.phrases[0];
    EXPECT_EQ(phrase.startUs, 0);
    EXPECT_EQ(phrase.endUs, 2'000'000);
    EXPECT_EQ(phrase.lufs, profile.lufs(0, 96'000));
    EXPECT_NEAR(phrase.lufs, -23.0, 0.1);  // a 997 Hz sine at -20 dBFS in one channel
    EXPECT_DOUBLE_EQ(phrase.gainDb, VoiceLevel::targetLufs - phrase.lufs);
    EXPECT_EQ(reading.integratedLufs, profile.integrated());
    EXPECT_EQ(reading.truePeakDb, TruePeak::measureDb(audio));
}

TEST(LoudnessAnalyzer, PausesOf300msSplitPhrases) {
    // Loud, a 500 ms pause, quieter, a 200 ms pause (too short to split), loud again.
    std::vector<float> samples;
    tone(samples, 48'000, 0.2);
    pause(samples, 24'000);
    tone(samples, 48'000, 0.15);
    pause(samples, 9'600);
    tone(samples, 48'000, 0.2);
    const PCMAudio stereo({samples, std::vector<float>(samples.size())});
    const LoudnessReading reading = LoudnessAnalyzer::analyze(stereo);
    const LoudnessProfile profile(stereo);

    ASSERT_EQ(reading.phrases.size(), 2u);
    EXPECT_EQ(reading.phrases[0].startUs, 0);
    EXPECT_EQ(reading.phrases[0].endUs, 1'000'000);
    EXPECT_EQ(reading.phrases[1].startUs, 1'500'000);
    EXPECT_EQ(reading.phrases[1].endUs, 3'700'000);
    for (const PhraseLoudness& p : reading.phrases) {
        EXPECT_EQ(p.lufs, profile.lufs(PCMAudio::frames(p.startUs), PCMAudio::frames(p.endUs)));
        EXPECT_DOUBLE_EQ(p.gainDb, std::clamp(VoiceLevel::targetLufs - p.lufs, -24.0, 24.0));
    }
    EXPECT_GT(reading.phrases[0].lufs, reading.phrases[1].lufs);
    EXPECT_NEAR(reading.truePeakDb, 20 * std::log10(0.2), 0.1);
}

TEST(LoudnessChannels, Policy) {
    struct Case {
        std::optional<std::string_view> heardAs;
        bool hasPicture;
        LoudnessChannels channels;
    };
    const Case cases[] = {
        {"music", true, LoudnessChannels::asIs},   {std::nullopt, true, LoudnessChannels::voiceInBoth},
        {"voice", true, LoudnessChannels::voiceInBoth}, {"Music", true, LoudnessChannels::voiceInBoth},
        {std::nullopt, false, LoudnessChannels::asIs}, {"voice", false, LoudnessChannels::asIs},
        {"music", false, LoudnessChannels::asIs},
    };
    for (const Case& c : cases) EXPECT_EQ(loudnessChannelsPolicy(c.heardAs, c.hasPicture), c.channels);
}
