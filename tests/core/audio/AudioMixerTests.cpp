#include "Core/Audio/AudioMixer.hpp"
#include "Core/Audio/LoudnessProfile.hpp"
#include "Core/Audio/TruePeak.hpp"
#include "Core/Jobs.hpp"
#include "tests/core/audio/TestSignals.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

using namespace korvel;
using testsignals::sine;
using AudioMixer::Input;
using AudioMixer::Policy;

namespace {

Input input(AudioRole role, PCMAudio audio, int64_t start = 0, bool fade = false) {
    return {role, std::move(audio), start, {}, fade};
}

} // namespace

TEST(AudioMixer, OneMonoVoiceBecomesEqualStereo) {
    const auto r = AudioMixer::mix({input(AudioRole::voice, PCMAudio::mono(sine(440, 0.5, 4800)), 100)}, 6000, Policy::none());
    ASSERT_EQ(r.buffer.channelCount(), 2);
    EXPECT_EQ(r.buffer.channels[0], r.buffer.channels[1]);
    EXPECT_EQ(r.buffer.channels[0][100 + 7], sine(440, 0.5, 8)[7]);
    EXPECT_TRUE(r.reached);
    EXPECT_EQ(r.effectsLoweredDb, 0);
}

TEST(AudioMixer, ClipsBeforeTheStartOrWithoutSamplesAddNothing) {
    const auto r = AudioMixer::mix({input(AudioRole::voice, PCMAudio::mono(std::vector<float>(100, 1.0f)), -1),
                                    input(AudioRole::music, PCMAudio::mono({}), 0),
                                    input(AudioRole::music, PCMAudio(), 0),
                                    input(AudioRole::voice, PCMAudio::mono(std::vector<float>(100, 1.0f)), 1000)},
                                   1000, Policy::none());
    for (float v : r.buffer.channels[0]) ASSERT_EQ(v, 0.0f);
}

TEST(AudioMixer, EdgeFadesFollowTheClipAndItsCut) {
    struct Case {
        int64_t clip, start, duration, fadeIn;
        bool fadeOut;
    } cases[] = {
        {1000, 0, 2000, 240, true},
        {3, 0, 10, 1, true},
        {1000, 1900, 2000, 50, false}, // 100 frames placed, cut by the end
    };
    for (const auto& c : cases) {
        const auto r = AudioMixer::mix({input(AudioRole::voice, PCMAudio::mono(std::vector<float>(c.clip, 1.0f)), c.start, true)},
                                       c.duration, Policy::none());
        const auto& out = r.buffer.channels[0];
        const int64_t placed = std::min(c.clip, c.duration - c.start);
        EXPECT_EQ(out[c.start], 0.0f) << c.clip;
        for (int64_t i = 0; i < c.fadeIn; ++i)
            EXPECT_FLOAT_EQ(out[c.start + i], static_cast<float>(0.5 - 0.5 * std::cos(M_PI * i / c.fadeIn))) << c.clip << " " << i;
        EXPECT_EQ(out[c.start + c.fadeIn], c.fadeOut && placed <= 2 * c.fadeIn ? out[c.start + c.fadeIn] : 1.0f);
        if (c.fadeOut) {
            EXPECT_EQ(out[c.start + placed - 1], 0.0f);
            EXPECT_FLOAT_EQ(out[c.start + placed - 2], static_cast<float>(0.5 - 0.5 * std::cos(M_PI / c.fadeIn)));
        } else {
            EXPECT_EQ(out[c.start + placed - 1], 1.0f);
        }
    }
}

TEST(AudioMixer, StereoClipTurnsTheBusStereoAndGainPointsApply) {
    const PCMAudio stereo({std::vector<float>(480, 0.5f), std::vector<float>(480, 0.25f)});
    Input clip = input(AudioRole::music, stereo, 480);
    clip.gain = {{0, -6}};
    const auto r = AudioMixer::mix({input(AudioRole::voice, PCMAudio::mono(std::vector<float>(480, 0.1f))), clip}, 960, Policy::none());
    EXPECT_FLOAT_EQ(r.buffer.channels[0][0], 0.1f);
    EXPECT_FLOAT_EQ(r.buffer.channels[1][0], 0.1f);
    EXPECT_NEAR(r.buffer.channels[0][500], 0.5 * 0.501, 1e-3);
    EXPECT_NEAR(r.buffer.channels[1][500], 0.25 * 0.501, 1e-3);
}

TEST(AudioMixer, NormalizingASilentMainBusNormalizesTheEffects) {
    const auto r = AudioMixer::mix({input(AudioRole::voice, PCMAudio::mono(std::vector<float>(48000, 0.0f))),
                                    input(AudioRole::soundEffect, PCMAudio::mono(sine(1000, 0.05, 48000 * 3)))},
                                   48000 * 3, Policy::normalize(-16, -1));
    EXPECT_TRUE(r.reached);
    EXPECT_NEAR(r.integratedLufs, -16, 0.2);
    EXPECT_EQ(r.buffer.channelCount(), 2);
}

TEST(AudioMixer, NormalizedEffectsRideWithTheMainGain) {
    const int64_t n = 48000 * 3;
    const auto r = AudioMixer::mix({input(AudioRole::voice, PCMAudio::mono(sine(200, 0.05, n))),
                                    input(AudioRole::soundEffect, PCMAudio::mono(sine(3000, 0.01, n)))},
                                   n, Policy::normalize(-20, -1));
    EXPECT_TRUE(r.reached);
    EXPECT_EQ(r.effectsLoweredDb, 0);
    // The sum keeps the voice-to-effects balance: both were raised by the same gain.
    const double gain = 20 * std::log10(std::fabs(r.buffer.channels[0][n / 2]) / std::fabs(sine(200, 0.05, n)[n / 2] + sine(3000, 0.01, n)[n / 2]));
    const auto voice = sine(200, 0.05, n);
    EXPECT_NEAR(gain, -20 - Loudness::integrated(PCMAudio({voice, voice})), 0.3);
}

TEST(AudioMixer, KeepLevelLowersEffectsBeforeLimitingTheVoice) {
    // Voice peaking at -3 dBTP in the first second, an effect at +1 dBTP in the second.
    const int64_t n = 48000 * 2;
    std::vector<float> voice(n, 0.0f), hit(n, 0.0f);
    const auto v = sine(220, std::pow(10, -3.0 / 20), 48000), e = sine(220, std::pow(10, 1.0 / 20), 48000);
    std::copy(v.begin(), v.end(), voice.begin());
    std::copy(e.begin(), e.end(), hit.begin() + 48000);
    const auto r = AudioMixer::mix({input(AudioRole::voice, PCMAudio::mono(voice)), input(AudioRole::soundEffect, PCMAudio::mono(hit))},
                                   n, Policy::keepLevel(-1));
    EXPECT_NEAR(r.effectsLoweredDb, 2.1, 0.05);
    EXPECT_LE(r.truePeakDb, -1 + 0.02);
    // Nothing was limited: the mix is the voice plus the lowered effect.
    const float lowered = static_cast<float>(std::pow(10, -r.effectsLoweredDb / 20));
    for (int64_t i : {int64_t(1000), int64_t(30000), int64_t(60000), int64_t(90000)})
        EXPECT_FLOAT_EQ(r.buffer.channels[0][i], voice[i] + hit[i] * lowered) << i;
}

TEST(AudioMixer, VoiceOverTheCeilingIsLimitedWithoutLoweringTheEffects) {
    const int64_t n = 48000;
    const auto r = AudioMixer::mix({input(AudioRole::voice, PCMAudio::mono(sine(220, 1.0, n))),
                                    input(AudioRole::soundEffect, PCMAudio::mono(sine(500, 0.1, n)))},
                                   n, Policy::keepLevel(-1));
    EXPECT_EQ(r.effectsLoweredDb, 0);
    EXPECT_LE(r.truePeakDb, -1 + 0.02);
}

TEST(AudioMixer, UnmeasuredPlainSumReportsTheFloors) {
    AudioMixer::Builder builder(4800);
    builder.place(input(AudioRole::voice, PCMAudio::mono(sine(440, 0.5, 4800))));
    const auto r = std::move(builder).finish(Policy::none(), false);
    EXPECT_EQ(r.integratedLufs, -70);
    EXPECT_EQ(r.truePeakDb, -120);
    EXPECT_EQ(r.buffer.frameCount(), 4800);
}

TEST(AudioMixer, ClientDurationsOutsideTheBoundsAreRefusedBeforeAllocating) {
    for (int64_t frames : {int64_t(-1), PCMAudio::maximumFrames + 1, INT64_MAX}) {
        try {
            AudioMixer::Builder builder(frames);
            FAIL() << frames;
        } catch (const EngineFailure& failure) {
            EXPECT_EQ(failure.code, -32602);
        }
    }
    EXPECT_EQ(AudioMixer::Builder(0).main().size(), 1u);
}

TEST(AudioMixer, BlendWeighsWetAgainstDryOverWhatBothHold) {
    const PCMAudio wet = PCMAudio::mono({1.0f, 1.0f, -1.0f});
    const PCMAudio dryStereo(std::vector<std::vector<float>>{{0.5f, 0.5f, 0.5f, 0.5f}, {0.25f, 0.25f, 0.25f, 0.25f}});
    struct Case {
        const char* name;
        double amount;
        std::vector<float> expected;
    } cases[] = {
        {"dry only", 0.0, {0.5f, 0.5f, 0.5f}},
        {"wet only", 1.0, {1.0f, 1.0f, -1.0f}},
        {"a quarter wet", 0.25, {0.625f, 0.625f, 0.125f}},
    };
    for (const auto& c : cases) {
        const PCMAudio out = AudioMixer::blend(wet, dryStereo, c.amount);
        ASSERT_EQ(out.channelCount(), 1) << c.name;
        EXPECT_EQ(out.channels[0], c.expected) << c.name;
    }
    // The shorter of the two sets the length, whichever it is.
    EXPECT_EQ(AudioMixer::blend(dryStereo, wet, 0.5).frameCount(), 3);
    EXPECT_EQ(AudioMixer::blend(PCMAudio(), dryStereo, 0.5).channelCount(), 0);
}
