#include "Core/Audio/AudioMixer.hpp"
#include "Core/Audio/LoudnessProfile.hpp"
#include "Core/Audio/PCMSource.hpp"
#include "Core/Audio/TruePeak.hpp"
#include "Core/Audio/TruePeakLimiter.hpp"
#include "Core/Audio/Synth/SoundRecipes.hpp"
#include "tests/core/audio/TestSignals.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace korvel;
using testsignals::noise;
using testsignals::sine;
using AudioMixer::Input;
using AudioMixer::Policy;

namespace {

std::vector<float> scaledBy(std::vector<float> v, float g) {
    for (float& x : v) x *= g;
    return v;
}

// A voice, a stereo bed, effects with a spike that needs the limiter, and a
// gain ramp; 100 s, so the loudness steps are filtered in four stretches and
// the walks cross many blocks.
std::vector<Input> inputs(bool withEffects) {
    const int64_t n = 100 * 48'000;
    std::vector<Input> out;
    out.push_back({AudioRole::voice, PCMAudio::mono(scaledBy(noise(n - 48'000, 7), 0.2f)), 24'000,
                   {{0, -3.0}, {60'000'000, 2.0}}, true});
    out.push_back({AudioRole::music, PCMAudio({sine(220, 0.3, n), sine(330, 0.25, n)}), 0, {{0, -6.0}}, false});
    if (withEffects) {
        std::vector<float> hit = sine(3000, 0.9, 96'000);
        hit[65'535] = 1.0f;
        out.push_back({AudioRole::soundEffect, PCMAudio::mono(hit), 30 * 48'000 - 7, {}, false});
        out.push_back({AudioRole::soundEffect, PCMAudio::mono(sine(90, 0.8, 48'000)), 70 * 48'000, {}, false});
    }
    return out;
}

} // namespace

TEST(StoredMix, GivesTheSamplesAndNumbersOfTheMixInMemory) {
    struct Case {
        std::string name;
        Policy policy;
        bool effects;
        bool measured;
    };
    const std::vector<Case> cases = {
        {"normalize", Policy::normalize(-9, -1), true, true},
        {"normalize without effects", Policy::normalize(-14, -1), false, true},
        {"keep level", Policy::keepLevel(-6), true, true},
        {"none, unmeasured", Policy::none(), true, false},
        {"none", Policy::none(), false, true},
    };
    const int64_t frames = 100 * 48'000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto clips = inputs(c.effects);
        AudioMixer::Builder whole(frames);
        AudioMixer::StoredBuilder stored(frames, PCMSources::memoryStores());
        for (const Input& in : clips) {
            whole.place(in);
            stored.place(in);
        }
        const AudioMixer::Result expected = std::move(whole).finish(c.policy, c.measured);
        const AudioMixer::StoredBuilder::Finished got = std::move(stored).finish(c.policy, c.measured);
        EXPECT_EQ(got.integratedLufs, expected.integratedLufs);
        EXPECT_EQ(got.truePeakDb, expected.truePeakDb);
        EXPECT_EQ(got.reached, expected.reached);
        EXPECT_EQ(got.effectsLoweredDb, expected.effectsLoweredDb);
        EXPECT_TRUE(got.buffer->whole() == expected.buffer);
    }
}

TEST(StoredMix, MeasuresAndLimitsLikeTheWholeBuffer) {
    // Spikes on both sides of block edges, and a length that ends inside a block.
    std::vector<float> left = scaledBy(noise(300'001, 3), 0.3f), right = scaledBy(noise(300'001, 4), 0.3f);
    for (int64_t at : {0, 65'535, 65'536, 131'071 + 120, 300'000}) left[static_cast<size_t>(at)] = 1.7f;
    right[196'608 - 239] = -2.0f;
    const PCMAudio audio({left, right});
    const auto source = PCMSources::of(audio);
    EXPECT_EQ(TruePeak::measureDb(*source), TruePeak::measureDb(audio));
    EXPECT_EQ(LoudnessProfile(*source), LoudnessProfile(audio));

    auto curve = PCMSources::inMemory(1, audio.frameCount());
    TruePeakLimiter::gainCurve(*source, 0.5f, *curve);
    EXPECT_EQ(curve->whole().channels[0], TruePeakLimiter::gainCurve(audio, 0.5f));

    const auto streamed = TruePeakLimiter::apply(source, -3, PCMSources::memoryStores());
    const auto whole = TruePeakLimiter::apply(audio, -3);
    EXPECT_EQ(streamed.reductionDb, whole.reductionDb);
    EXPECT_TRUE(streamed.buffer->whole() == whole.buffer);
}

TEST(StoredMix, ABedReadFromItsChordsEqualsTheBedMadeWhole) {
    struct Case {
        const char* recipe;
        int64_t frames, from, count;
    };
    // Twelve upbeat chords are 1 440 000 frames; soft ones 2 304 000.
    for (const Case& c : {Case{"upbeat_bed", 3'000'000, 900'000, 1'300'000}, Case{"upbeat_bed", 1'000'000, 0, 1'000'000},
                          Case{"soft_bed", 2'500'000, 2'400'000, 200'000}, Case{"ding", 30'000, 100, 40'000}}) {
        SCOPED_TRACE(std::string(c.recipe) + " " + std::to_string(c.frames));
        const PCMAudio whole = SoundRecipes::render(c.recipe, 5, c.frames);
        const PCMAudio read = SoundRecipes::source(c.recipe, 5, c.frames, c.from, c.count)->whole();
        ASSERT_EQ(read.channelCount(), whole.channelCount());
        for (size_t ch = 0; ch < whole.channels.size(); ++ch) {
            std::vector<float> expected(static_cast<size_t>(c.count), 0.0f);
            for (int64_t k = 0; k < c.count && c.from + k < whole.frameCount(); ++k)
                expected[static_cast<size_t>(k)] = whole.channels[ch][static_cast<size_t>(c.from + k)];
            EXPECT_TRUE(read.channels[ch] == expected);
        }
    }
}
