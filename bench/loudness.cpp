// Integrated loudness and true peak of one hour of stereo 48 kHz sound, by
// this engine and by libebur128, side by side on the same samples.
#include "Core/Audio/LoudnessProfile.hpp"
#include "Core/Audio/PCMAudio.hpp"
#include "Core/Audio/TruePeak.hpp"

#include <ebur128.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <vector>

using namespace korvel;

namespace {

// Programme-like material: filtered noise under a slow level ride with
// pauses, a tone that drifts in and out, and different left and right.
PCMAudio programme(int64_t frames) {
    std::vector<float> left(static_cast<size_t>(frames)), right(static_cast<size_t>(frames));
    uint64_t state = 0x1234'5678'9abc'def0ull;
    auto noise = [&state] {
        state += 0x9E3779B97F4A7C15ull;
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        return static_cast<float>(static_cast<double>(z >> 40) * 0x1p-23 - 1.0);
    };
    float lowL = 0, lowR = 0;
    for (int64_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / 48000.0;
        // Phrases of a few seconds with short pauses, and a slower swell.
        const double phrase = std::sin(2 * M_PI * t / 7.3) > -0.6 ? 1.0 : 0.02;
        const double swell = 0.25 + 0.2 * std::sin(2 * M_PI * t / 311.0);
        lowL += (noise() - lowL) * 0.15f;
        lowR += (noise() - lowR) * 0.12f;
        const double tone = 0.1 * std::sin(2 * M_PI * 220.0 * t) * (0.5 + 0.5 * std::sin(2 * M_PI * t / 53.0));
        left[static_cast<size_t>(i)] = static_cast<float>(phrase * swell * (2.5 * lowL) + tone);
        right[static_cast<size_t>(i)] = static_cast<float>(phrase * swell * (2.5 * lowR) + 0.8 * tone);
    }
    return PCMAudio({std::move(left), std::move(right)});
}

double seconds(std::chrono::steady_clock::time_point from) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

} // namespace

int main(int argc, char** argv) {
    double minutes = 60;
    if (argc > 1) minutes = std::atof(argv[1]);
    const int64_t frames = static_cast<int64_t>(minutes * 60 * 48000);
    std::printf("signal: %.1f min stereo 48 kHz (%lld frames)\n", minutes, static_cast<long long>(frames));
    const PCMAudio audio = programme(frames);

    auto start = std::chrono::steady_clock::now();
    const double lufs = LoudnessProfile(audio).integrated();
    const double ownLoudnessS = seconds(start);
    start = std::chrono::steady_clock::now();
    const double peakDb = TruePeak::measureDb(audio);
    const double ownPeakS = seconds(start);
    // The worst case, where no block can be skipped: every sample interpolated.
    start = std::chrono::steady_clock::now();
    double fullPeakDb = 0;
    {
        std::vector<float> envelope(static_cast<size_t>(frames), 0.0f);
        for (const auto& channel : audio.channels) TruePeak::raise(envelope, channel);
        float peak = 0;
        for (float v : envelope) peak = std::max(peak, v);
        fullPeakDb = 20 * std::log10(static_cast<double>(peak));
    }
    const double fullPeakS = seconds(start);

    // libebur128 reads interleaved frames; interleaving is not timed.
    std::vector<float> interleaved(static_cast<size_t>(frames) * 2);
    for (size_t i = 0; i < static_cast<size_t>(frames); ++i) {
        interleaved[2 * i] = audio.channels[0][i];
        interleaved[2 * i + 1] = audio.channels[1][i];
    }
    auto reference = [&](int mode, double& lufsOut, double& peakOut) {
        ebur128_state* st = ebur128_init(2, 48000, mode);
        const auto from = std::chrono::steady_clock::now();
        constexpr size_t chunk = 48000;
        for (size_t at = 0; at < static_cast<size_t>(frames); at += chunk) {
            const size_t n = std::min(chunk, static_cast<size_t>(frames) - at);
            ebur128_add_frames_float(st, interleaved.data() + 2 * at, n);
        }
        if (mode & EBUR128_MODE_I) ebur128_loudness_global(st, &lufsOut);
        if ((mode & EBUR128_MODE_TRUE_PEAK) == EBUR128_MODE_TRUE_PEAK) {
            double l = 0, r = 0;
            ebur128_true_peak(st, 0, &l);
            ebur128_true_peak(st, 1, &r);
            peakOut = 20 * std::log10(std::max(l, r));
        }
        const double elapsed = seconds(from);
        ebur128_destroy(&st);
        return elapsed;
    };
    double refLufs = 0, refPeak = 0, unused = 0;
    const double refLoudnessS = reference(EBUR128_MODE_I, refLufs, unused);
    const double refPeakS = reference(EBUR128_MODE_TRUE_PEAK, unused, refPeak);

    std::printf("compared: library vs library on the same samples in memory; true peak both as the engine runs it\n"
                "(blocks that can't hold a new peak skipped) and with every sample interpolated, as libebur128 does\n");
    std::printf("%-22s %14s %14s %12s %12s\n", "", "loudness LUFS", "true peak dBTP", "loudness s", "true peak s");
    std::printf("%-22s %14.3f %14.3f %12.3f %12.3f\n", "korvel", lufs, peakDb, ownLoudnessS, ownPeakS);
    std::printf("%-22s %14s %14.3f %12s %12.3f\n", "korvel, every sample", "", fullPeakDb, "", fullPeakS);
    std::printf("%-22s %14.3f %14.3f %12.3f %12.3f\n", "libebur128", refLufs, refPeak, refLoudnessS, refPeakS);
    std::printf("difference: %.3f LU, %.3f dB (every sample: %.3f dB); speed-up: loudness %.1fx, true peak %.1fx "
                "skipping blocks, %.1fx every sample\n",
                lufs - refLufs, peakDb - refPeak, fullPeakDb - refPeak, refLoudnessS / ownLoudnessS, refPeakS / ownPeakS,
                refPeakS / fullPeakS);
    std::printf("(libebur128's true-peak mode also filters for momentary loudness; its time includes that)\n");
    return 0;
}
