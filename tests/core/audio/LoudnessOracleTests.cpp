// Loudness and true peak against libebur128 on noise, tones and the beds.

#include "Core/Audio/LoudnessProfile.hpp"
#include "Core/Audio/Synth/SoundRecipes.hpp"
#include "Core/Audio/TruePeak.hpp"
#include "tests/core/audio/TestSignals.hpp"

#include <ebur128.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>

using namespace korvel;
using testsignals::sine;

namespace {

struct Reference {
    double lufs;
    double truePeakDb;
};

Reference reference(const PCMAudio& audio) {
    const unsigned channels = static_cast<unsigned>(audio.channelCount());
    ebur128_state* st = ebur128_init(channels, 48000, EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
    std::vector<float> interleaved(static_cast<size_t>(audio.frameCount()) * channels);
    for (size_t i = 0; i < static_cast<size_t>(audio.frameCount()); ++i)
        for (unsigned c = 0; c < channels; ++c) interleaved[i * channels + c] = audio.channels[c][i];
    ebur128_add_frames_float(st, interleaved.data(), static_cast<size_t>(audio.frameCount()));
    Reference r{};
    ebur128_loudness_global(st, &r.lufs);
    double peak = 0;
    for (unsigned c = 0; c < channels; ++c) {
        double p = 0;
        ebur128_true_peak(st, c, &p);
        peak = std::max(peak, p);
    }
    r.truePeakDb = 20 * std::log10(peak);
    ebur128_destroy(&st);
    return r;
}

// Pink noise (Kellet's filter over white noise), optionally darker still.
std::vector<float> noise(int64_t frames, uint64_t seed, double level, double smoothing = 1.0) {
    std::vector<float> out(static_cast<size_t>(frames));
    double b0 = 0, b1 = 0, b2 = 0, b3 = 0, b4 = 0, b5 = 0, b6 = 0, low = 0;
    for (auto& v : out) {
        const double w = testsignals::uniform(seed);
        b0 = 0.99886 * b0 + w * 0.0555179;
        b1 = 0.99332 * b1 + w * 0.0750759;
        b2 = 0.96900 * b2 + w * 0.1538520;
        b3 = 0.86650 * b3 + w * 0.3104856;
        b4 = 0.55000 * b4 + w * 0.5329522;
        b5 = -0.7616 * b5 - w * 0.0168980;
        const double pink = (b0 + b1 + b2 + b3 + b4 + b5 + b6 + w * 0.5362) * 0.11;
        b6 = w * 0.115926;
        low += (pink - low) * smoothing;
        v = static_cast<float>(level * low);
    }
    return out;
}

void expectAgreement(const std::string& what, const PCMAudio& audio) {
    const Reference r = reference(audio);
    EXPECT_NEAR(Loudness::integrated(audio), r.lufs, 0.1) << what;
    EXPECT_NEAR(TruePeak::measureDb(audio), r.truePeakDb, 0.2) << what;
}

} // namespace

TEST(LoudnessOracle, NoiseAgreesWithLibebur128) {
    // Full-band white noise is left out on purpose: there libebur128's
    // interpolator reads 0.3 to 0.8 dB low, further from a long ideal
    // interpolator than this one.
    expectAgreement("pink", PCMAudio::mono(noise(48000 * 20, 1, 0.8)));
    expectAgreement("dull stereo", PCMAudio({noise(48000 * 20, 2, 0.9, 0.1), noise(48000 * 20, 3, 0.4, 0.3)}));
    // Quiet with pauses: the gates matter.
    auto gated = noise(48000 * 30, 4, 0.05);
    for (size_t i = 0; i < gated.size(); ++i)
        if ((i / 48000) % 3 == 2) gated[i] *= 0.001f;
    expectAgreement("gated", PCMAudio::mono(gated));
}

TEST(LoudnessOracle, SinesAgreeWithLibebur128) {
    for (double hz : {50.0, 440.0, 997.0, 5000.0, 15000.0})
        expectAgreement(std::to_string(hz) + " Hz", PCMAudio({sine(hz, 0.7, 48000 * 5, 0.3), sine(hz * 1.01, 0.3, 48000 * 5, 0.3)}));
}

TEST(LoudnessOracle, BedsAgreeWithLibebur128) {
    for (const auto name : SoundRecipes::beds)
        expectAgreement(std::string(name), SoundRecipes::render(name, 11, 48000 * 20));
}
