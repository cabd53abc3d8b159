#include "Core/Audio/LoudnessProfile.hpp"
#include "Core/Audio/Synth/EffectSynth.hpp"
#include "Core/Audio/Synth/MusicBedSynth.hpp"
#include "Core/Audio/Synth/SoundRecipes.hpp"
#include "Core/Audio/Synth/SplitMix64.hpp"
#include "Core/Audio/TruePeak.hpp"
#include "Core/Jobs.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

using namespace korvel;

namespace {

int failureCode(auto&& call) {
    try {
        call();
    } catch (const EngineFailure& failure) {
        return failure.code;
    }
    return 0;
}

std::string failureMessage(auto&& call) {
    try {
        call();
    } catch (const EngineFailure& failure) {
        return failure.message;
    }
    return {};
}

} // namespace

TEST(SplitMix64, PublishedSequenceFromZero) {
    // The reference generator seeded with 0 first yields mix(G).
    const SplitMix64 zero{0};
    EXPECT_EQ(zero.output(1), 0xE220A8397B1DCDAFull);
    EXPECT_EQ(zero.output(2), 0x6E789E6AA1B965F4ull);
    const float w = SplitMix64::seeded(5).white(0);
    EXPECT_GE(w, -1.0f);
    EXPECT_LT(w, 1.0f);
}

TEST(EffectSynth, EveryEffectHasItsLengthSilentEndsAndAMinusThreePeak) {
    const std::pair<const char*, size_t> lengths[] = {
        {"whoosh", 33600}, {"swish", 14400}, {"reverse_whoosh", 33600}, {"riser", 96000}, {"sub_drop", 57600},
        {"pop", 4320},     {"click", 2400},  {"tick", 1920},            {"ding", 43200},  {"boop", 7680},
        {"thud", 16800},   {"shimmer", 48000}, {"shutter", 9600}};
    ASSERT_EQ(std::size(lengths), SoundRecipes::effects.size());
    for (const auto& [name, length] : lengths) {
        const PCMAudio a = SoundRecipes::render(name, 7, std::nullopt);
        ASSERT_EQ(a.channelCount(), 1) << name;
        EXPECT_EQ(a.channels[0].size(), length) << name;
        EXPECT_EQ(a.channels[0].front(), 0.0f) << name;
        EXPECT_EQ(a.channels[0].back(), 0.0f) << name;
        EXPECT_NEAR(TruePeak::measureDb(a), SoundRecipes::effectPeakDb, 1e-4) << name;
        EXPECT_EQ(a, SoundRecipes::render(name, 7, std::nullopt)) << name;
    }
}

TEST(EffectSynth, SeedsMatterExceptForDingAndBoop) {
    for (const char* name : {"whoosh", "riser", "pop", "click", "thud", "shimmer", "shutter", "sub_drop"})
        EXPECT_NE(*EffectSynth::render(name, 1), *EffectSynth::render(name, 2)) << name;
    for (const char* name : {"ding", "boop"}) EXPECT_EQ(*EffectSynth::render(name, 1), *EffectSynth::render(name, 2)) << name;
    EXPECT_FALSE(EffectSynth::render("soft_bed", 1).has_value());
}

TEST(EffectSynth, ReverseWhooshIsTheWhooshBackwards) {
    auto forward = *EffectSynth::render("whoosh", 42);
    std::reverse(forward.begin(), forward.end());
    EXPECT_EQ(*EffectSynth::render("reverse_whoosh", 42), forward);
}

TEST(SoundRecipes, FramesCutPadOrEmptyAnEffect) {
    const PCMAudio full = SoundRecipes::render("pop", 3, std::nullopt);
    const PCMAudio cut = SoundRecipes::render("pop", 3, 100);
    EXPECT_EQ(cut.channels[0], std::vector<float>(full.channels[0].begin(), full.channels[0].begin() + 100));
    const PCMAudio padded = SoundRecipes::render("pop", 3, 5000);
    ASSERT_EQ(padded.frameCount(), 5000);
    EXPECT_TRUE(std::all_of(padded.channels[0].begin() + 4320, padded.channels[0].end(), [](float v) { return v == 0; }));
    EXPECT_EQ(SoundRecipes::render("pop", 3, 0).channelCount(), 1);
    EXPECT_EQ(SoundRecipes::render("pop", 3, 0).frameCount(), 0);
}

TEST(SoundRecipes, FailuresNameTheRecipe) {
    EXPECT_EQ(failureMessage([] { SoundRecipes::render("kazoo", 1, 10); }), "Unknown sound recipe: kazoo.");
    EXPECT_EQ(failureMessage([] { SoundRecipes::render("soft_bed", 1, std::nullopt); }),
              "The music recipe soft_bed needs a length.");
    EXPECT_EQ(failureCode([] { SoundRecipes::render("kazoo", 1, 10); }), -32602);
}

TEST(SoundRecipes, ClientLengthsBeyondTheBoundAreRefusedBeforeAllocating) {
    for (const char* name : {"soft_bed", "pop"})
        for (int64_t frames : {PCMAudio::maximumFrames + 1, INT64_MAX})
            EXPECT_EQ(failureCode([&] { SoundRecipes::render(name, 1, frames); }), -32602) << name << " " << frames;
}

TEST(MusicBed, ShortBedsAreSynthesizedWholeAtZeroLufs) {
    for (const char* name : {"soft_bed", "upbeat_bed", "cinematic_bed"}) {
        const PCMAudio bed = SoundRecipes::render(name, 3, 480'000);
        ASSERT_EQ(bed.channelCount(), 2) << name;
        EXPECT_EQ(bed.frameCount(), 480'000) << name;
        EXPECT_NEAR(Loudness::integrated(bed), SoundRecipes::bedLufs, 0.01) << name;
    }
    EXPECT_EQ(MusicBedSynth::framesWritten("upbeat_bed", 0, 480'000), 480'000);
    EXPECT_EQ(MusicBedSynth::framesWritten("upbeat_bed", 0, 1'500'000), 1'440'000);
}

TEST(MusicBed, SeedsChooseRootAndProgression) {
    const int64_t frames = 96'000;
    const auto a = MusicBedSynth::writtenOut("soft_bed", 0, frames);
    EXPECT_EQ(a, MusicBedSynth::writtenOut("soft_bed", 0, frames));
    EXPECT_EQ(a, MusicBedSynth::writtenOut("soft_bed", 8, frames));     // same root and progression
    EXPECT_NE(a, MusicBedSynth::writtenOut("soft_bed", 4, frames));     // root 52, not 48
    EXPECT_EQ(MusicBedSynth::writtenOut("soft_bed", -5, frames), MusicBedSynth::writtenOut("soft_bed", 5, frames));
    EXPECT_NO_THROW(MusicBedSynth::writtenOut("soft_bed", INT64_MIN, 4800));
    EXPECT_NE(a, MusicBedSynth::writtenOut("any other name", 1, frames));
    EXPECT_EQ(a, MusicBedSynth::writtenOut("any other name", 0, frames));
}

TEST(MusicBed, StylesDifferInKickAndLowOctave) {
    // The kick is the only sound in the first millisecond of an upbeat bed
    // strong enough to stand out; pads rise over 0.25 s or more.
    const auto upbeat = MusicBedSynth::writtenOut("upbeat_bed", 2, 4800);
    const auto soft = MusicBedSynth::writtenOut("soft_bed", 2, 4800);
    auto peak = [](const std::vector<float>& x, size_t from, size_t to) {
        float m = 0;
        for (size_t i = from; i < to; ++i) m = std::max(m, std::fabs(x[i]));
        return m;
    };
    EXPECT_GT(peak(upbeat[0], 0, 4800), 0.2f);
    EXPECT_LT(peak(soft[0], 0, 4800), 0.05f);
    // The cinematic bed's octave below the root: energy near the root's low octave (MIDI 38 → 73 Hz).
    const auto cinematic = MusicBedSynth::writtenOut("cinematic_bed", 2, 288'000);
    const auto softLong = MusicBedSynth::writtenOut("soft_bed", 2, 288'000);
    auto energyAt = [](const std::vector<float>& x, double hz) {
        double re = 0, im = 0;
        for (size_t i = 96'000; i < 192'000; ++i) {
            re += x[i] * std::cos(2 * M_PI * hz * i / 48000.0);
            im += x[i] * std::sin(2 * M_PI * hz * i / 48000.0);
        }
        return std::hypot(re, im);
    };
    const double low = 440 * std::pow(2.0, (50 - 12 - 0.03 - 69) / 12.0);
    EXPECT_GT(energyAt(cinematic[0], low), 10 * energyAt(softLong[0], low));
}

TEST(MusicBed, LongBedsLoopTheirMiddleThird) {
    const PCMAudio bed = SoundRecipes::render("soft_bed", 1, 2'880'000);
    ASSERT_EQ(bed.frameCount(), 2'880'000);
    // Body of 2 304 000 frames: 0 ..< 1 536 000 once, then 768 000 ..< 1 536 000 again and again.
    for (const auto& channel : bed.channels) {
        for (int64_t k : {int64_t(0), int64_t(1), int64_t(500'000), int64_t(767'999)})
            ASSERT_EQ(channel[1'536'000 + k], channel[768'000 + k]) << k;
        for (int64_t k : {int64_t(0), int64_t(575'999)}) ASSERT_EQ(channel[2'304'000 + k], channel[768'000 + k]) << k;
    }
    // The looped third is the one levelled to the bed loudness.
    PCMAudio loop;
    for (const auto& channel : bed.channels) loop.channels.emplace_back(channel.begin() + 768'000, channel.begin() + 1'536'000);
    EXPECT_NEAR(Loudness::integrated(loop), SoundRecipes::bedLufs, 0.3);
}

TEST(MusicBed, EmptyBedsHaveTwoEmptyChannels) {
    for (int64_t frames : {int64_t(0), int64_t(-5)}) {
        const PCMAudio bed = SoundRecipes::render("upbeat_bed", 1, frames);
        ASSERT_EQ(bed.channelCount(), 2);
        EXPECT_EQ(bed.frameCount(), 0);
    }
}

namespace {
// Zero crossings per second, halved: the frequency of a tone, the centre of
// a narrow noise band, over the stretch [from, to) of the effect (fractions).
double crossingHz(const std::vector<float>& x, double from, double to) {
    const size_t begin = static_cast<size_t>(from * static_cast<double>(x.size()));
    const size_t end = static_cast<size_t>(to * static_cast<double>(x.size()));
    int crossings = 0;
    for (size_t i = begin + 1; i < end; ++i) crossings += (x[i - 1] < 0) != (x[i] < 0);
    return crossings / (static_cast<double>(end - begin) / 48000.0) / 2;
}
} // namespace

// Each recipe's filters, sweeps and envelopes, pinned: a few samples of seed 7
// before peak scaling, and where its energy sits early, midway and late.
TEST(EffectSynth, RecipesKeepTheirSamplesAndSpectra) {
    struct Case {
        const char* name;
        float samples[4]; // at 10, 30, 50 and 80 % of the length
        double lowHz[3], highHz[3]; // crossing rate over 5-25 %, 40-60 %, 75-95 %
    };
    const Case cases[] = {
        // Band-passed noise swept up and down the arc: bright in the middle.
        {"whoosh", {-0.00395163847f, 0.143792003f, 0.230841041f, 0.0290544443f}, {2500, 8000, 2500}, {4500, 11000, 4500}},
        {"swish", {-0.0149863688f, 0.310711682f, 0.568640471f, 0.0945094749f}, {3000, 8000, 3000}, {5500, 11000, 5500}},
        {"reverse_whoosh", {0.000176396017f, 0.156209886f, 0.190027833f, 0.0175562892f}, {2500, 8000, 2500}, {4500, 11000, 4500}},
        // 400 Hz rising 27.5 times.
        {"riser", {0.0127533646f, -0.0222629216f, 0.119455099f, 0.371373683f}, {1500, 3500, 7000}, {3500, 6500, 11000}},
        // Midi 62 (294 Hz) falling to about midi 26 (37 Hz).
        {"sub_drop", {-0.752571106f, 0.730481386f, -0.573132753f, 0.359019905f}, {180, 90, 40}, {260, 130, 65}},
        // 900 Hz falling to 250 Hz.
        {"pop", {0.323336095f, -0.10521508f, -0.0162382964f, -0.00239022495f}, {400, 240, 230}, {600, 320, 270}},
        {"click", {0.0304612536f, 0.000829265802f, -6.87992506e-05f, -1.15286262e-07f}, {1900, 1950, 2050}, {2700, 2200, 2150}},
        {"tick", {-0.470686466f, -0.210892886f, 0.000544109964f, -0.0174331907f}, {1300, 1300, 1300}, {1900, 1550, 1450}},
        // 1318.5 Hz with its partials fading faster.
        {"ding", {-0.731276631f, -0.0260771941f, 0.201333836f, 0.101759434f}, {1300, 1310, 1310}, {1340, 1330, 1330}},
        // 520 Hz gliding to 780 Hz over 40 ms.
        {"boop", {0.622496486f, 0.382798076f, 0.196622372f, -0.0635364205f}, {600, 760, 760}, {740, 800, 800}},
        // 120 Hz falling to 55 Hz under low noise.
        {"thud", {0.659121454f, -0.270351797f, -0.0618227981f, 0.0357693657f}, {55, 45, 50}, {90, 60, 65}},
        // Seven partials between 3 and 7.5 kHz.
        {"shimmer", {0.0410077199f, 0.152851805f, 0.266918153f, -0.178193465f}, {3000, 3000, 3000}, {7500, 7500, 7500}},
        // Two clicks, 1800 Hz then 1200 Hz, and silence.
        {"shutter", {0.000544109964f, 0.0f, -0.0113342321f, 0.0f}, {1700, 800, 0}, {1900, 1300, 0}},
    };
    ASSERT_EQ(std::size(cases), SoundRecipes::effects.size());
    for (const auto& c : cases) {
        const std::vector<float> x = *EffectSynth::render(c.name, 7);
        const double at[] = {0.1, 0.3, 0.5, 0.8};
        for (int i = 0; i < 4; ++i) {
            const float got = x[static_cast<size_t>(at[i] * static_cast<double>(x.size()))];
            EXPECT_NEAR(got, c.samples[i], std::abs(c.samples[i]) * 1e-4 + 1e-9) << c.name << " at " << at[i];
        }
        const double stretches[3][2] = {{0.05, 0.25}, {0.4, 0.6}, {0.75, 0.95}};
        for (int s = 0; s < 3; ++s) {
            const double hz = crossingHz(x, stretches[s][0], stretches[s][1]);
            EXPECT_GE(hz, c.lowHz[s]) << c.name << " stretch " << s;
            EXPECT_LE(hz, c.highHz[s]) << c.name << " stretch " << s;
        }
    }
}
