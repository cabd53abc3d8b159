#include "Core/Audio/Synth/EffectSynth.hpp"

#include "Core/Audio/Synth/SplitMix64.hpp"

#include <algorithm>
#include <cmath>

namespace korvel::EffectSynth {

namespace {

constexpr double rate = 48'000.0;
constexpr double twoPi = 2.0 * M_PI;

int64_t framesOf(double seconds) { return static_cast<int64_t>(std::floor(seconds * rate)); }

// Linear fades: the first sample and the last are exactly 0.
std::vector<float> withEdges(std::vector<float> samples, double attackSeconds, double releaseSeconds) {
    const int64_t n = static_cast<int64_t>(samples.size());
    const int64_t attack = std::min(framesOf(attackSeconds), n / 2);
    const int64_t release = std::min(framesOf(releaseSeconds), n / 2);
    for (int64_t i = 0; i < attack; ++i)
        samples[static_cast<size_t>(i)] *= static_cast<float>(static_cast<double>(i) / static_cast<double>(attack));
    for (int64_t i = 0; i < release; ++i)
        samples[static_cast<size_t>(n - 1 - i)] *= static_cast<float>(static_cast<double>(i) / static_cast<double>(release));
    return samples;
}

// State-variable band-pass in trapezoidal form; its coefficients follow the
// cutoff only every 32 samples.
class BandPass {
public:
    explicit BandPass(double damping) : k_(damping) {}

    float operator()(int64_t index, double cutoffHz, float input) {
        if (index % 32 == 0) {
            g_ = std::tan(M_PI * std::min(cutoffHz, 21'600.0) / rate);
            h_ = g_ + k_;
            a_ = 1.0 / (1.0 + g_ * h_);
        }
        const double hp = a_ * (input - h_ * s1_ - s2_);
        const double bp = s1_ + g_ * hp;
        const double lp = s2_ + g_ * bp;
        s1_ = bp + g_ * hp;
        s2_ = lp + g_ * bp;
        return static_cast<float>(bp);
    }

private:
    double k_;
    double g_ = 0, h_ = 0, a_ = 0, s1_ = 0, s2_ = 0;
};

std::vector<float> whoosh(double seconds, int64_t seed, double lowHz, double highHz, double q) {
    const int64_t n = framesOf(seconds);
    const double span = static_cast<double>(std::max<int64_t>(n - 1, 1));
    const SplitMix64 noise = SplitMix64::seeded(seed);
    const SplitMix64 ahead{noise.state + SplitMix64::golden};
    BandPass sweep(1.0 / q), low(1.25);
    std::vector<float> out(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; ++i) {
        const double arc = std::sin(M_PI * static_cast<double>(i) / span);
        const float a = sweep(i, lowHz * std::pow(highHz / lowHz, arc), noise.white(i));
        const float b = low(i, lowHz * 0.5 * std::pow(3.0, arc), ahead.white(i)) * 0.35f;
        out[static_cast<size_t>(i)] = (a + b) * static_cast<float>(arc * arc);
    }
    return withEdges(std::move(out), 0.001, 0.005);
}

std::vector<float> riser(int64_t seed) {
    constexpr int64_t n = 96'000;
    const SplitMix64 noise = SplitMix64::seeded(seed);
    BandPass band(1.0 / 0.7);
    std::vector<float> out(n);
    for (int64_t i = 0; i < n; ++i) {
        const double d = static_cast<double>(i) / 95'999.0;
        const float y = band(i, 400.0 * std::pow(27.5, d), noise.white(i));
        out[static_cast<size_t>(i)] = static_cast<float>(y * std::pow(0.18 + 0.82 * d, 1.7));
    }
    return withEdges(std::move(out), 0.01, 0.008);
}

std::vector<float> subDrop(int64_t seed) {
    constexpr int64_t n = 57'600;
    const double u = SplitMix64::seeded(seed).uniform(1);
    const double endNote = 26.0 + 3.0 * u - 1.5;
    std::vector<float> out(n);
    double phase = 0;
    for (int64_t i = 0; i < n; ++i) {
        const double d = static_cast<double>(i) / 57'599.0;
        const double note = 62.0 + (endNote - 62.0) * d;
        phase += twoPi * 440.0 * std::pow(2.0, (note - 69.0) / 12.0) / rate;
        out[static_cast<size_t>(i)] =
            static_cast<float>(std::pow(1.0 - d, 0.6) * std::min(d / 0.02, 1.0) * std::tanh(1.8 * std::sin(phase)));
    }
    return withEdges(std::move(out), 0.001, 0.005);
}

std::vector<float> pop(int64_t seed) {
    constexpr int64_t n = 4'320;
    const SplitMix64 noise = SplitMix64::seeded(seed);
    std::vector<float> out(n);
    double phase = 0;
    for (int64_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / rate;
        const double e1 = std::exp(-t / 0.012);
        phase += (650.0 * e1 + 250.0) * twoPi / rate;
        out[static_cast<size_t>(i)] =
            static_cast<float>(e1 * std::sin(phase) + std::exp(-t / 0.002) * noise.white(i) * 0.4);
    }
    return withEdges(std::move(out), 0.0003, 0.005);
}

std::vector<float> click(double seconds, double toneHz, int64_t seed) {
    const int64_t n = framesOf(seconds);
    const SplitMix64 noise = SplitMix64::seeded(seed);
    std::vector<float> out(static_cast<size_t>(n));
    float previous = 0;
    for (int64_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / rate;
        const float w = noise.white(i);
        out[static_cast<size_t>(i)] = static_cast<float>(std::sin(twoPi * toneHz * t) * std::exp(-t / 0.008) +
                                                         std::exp(-t / 0.003) * (w - previous) * 0.35);
        previous = w;
    }
    return withEdges(std::move(out), 0.0002, 0.005);
}

std::vector<float> ding() {
    constexpr int64_t n = 43'200;
    constexpr double f = 1318.5;
    const double r2 = std::sqrt(2.76), r3 = std::sqrt(5.4);
    std::vector<float> out(n);
    for (int64_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / rate;
        out[static_cast<size_t>(i)] = static_cast<float>(
            std::sin(twoPi * f * t) * std::exp(-t / 0.32) + 0.35 * std::sin(twoPi * f * 2.76 * t) * std::exp(-r2 * t / 0.32) +
            0.12 * std::sin(twoPi * f * 5.4 * t) * std::exp(-r3 * t / 0.32));
    }
    return withEdges(std::move(out), 0.002, 0.02);
}

std::vector<float> boop() {
    constexpr int64_t n = 7'680;
    std::vector<float> out(n);
    double phase = 0;
    for (int64_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / rate;
        phase += (520.0 + 260.0 * std::min(t / 0.04, 1.0)) * twoPi / rate;
        out[static_cast<size_t>(i)] = static_cast<float>(std::exp(-t / 0.05) * std::sin(phase));
    }
    return withEdges(std::move(out), 0.002, 0.01);
}

std::vector<float> thud(int64_t seed) {
    constexpr int64_t n = 16'800;
    const SplitMix64 noise = SplitMix64::seeded(seed);
    std::vector<float> out(n);
    double phase = 0;
    float y = 0;
    for (int64_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / rate;
        phase += (65.0 * std::exp(-t / 0.03) + 55.0) * twoPi / rate;
        y += (noise.white(i) - y) * 0.05f;
        out[static_cast<size_t>(i)] =
            static_cast<float>(y * std::exp(-t / 0.02) * 0.5 + std::exp(-t / 0.09) * std::sin(phase));
    }
    return withEdges(std::move(out), 0.0005, 0.02);
}

std::vector<float> shimmer(int64_t seed) {
    constexpr int64_t n = 48'000;
    const SplitMix64 random = SplitMix64::seeded(seed);
    double frequency[7], tremolo[7];
    for (uint64_t k = 0; k < 7; ++k) {
        frequency[k] = 3000.0 + 4500.0 * random.uniform(2 * k + 1);
        tremolo[k] = 5.0 + 6.0 * random.uniform(2 * k + 2);
    }
    std::vector<float> out(n);
    for (int64_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / rate;
        double sum = 0;
        for (int k = 0; k < 7; ++k)
            sum += std::sin(twoPi * frequency[k] * t) * (0.6 + 0.4 * std::sin(twoPi * tremolo[k] * t));
        out[static_cast<size_t>(i)] = static_cast<float>(sum * std::exp(-t / 0.35) * std::min(t / 0.15, 1.0));
    }
    return withEdges(std::move(out), 0.01, 0.02);
}

std::vector<float> shutter(int64_t seed) {
    const std::vector<float> a = click(0.05, 1800, seed);
    // Wrapping, like the generator's own arithmetic.
    const std::vector<float> b = click(0.05, 1200, static_cast<int64_t>(static_cast<uint64_t>(seed) + 1));
    std::vector<float> out(9'600, 0.0f);
    for (size_t i = 0; i < a.size(); ++i) out[i] += a[i];
    for (size_t i = 0; i < b.size() && 4'320 + i < out.size(); ++i) out[4'320 + i] += b[i] * 0.8f;
    return withEdges(std::move(out), 0.001, 0.005);
}

} // namespace

std::optional<std::vector<float>> render(std::string_view recipe, int64_t seed) {
    if (recipe == "whoosh") return whoosh(0.7, seed, 300, 9000, 1.1);
    if (recipe == "swish") return whoosh(0.3, seed, 700, 9000, 1.4);
    if (recipe == "reverse_whoosh") {
        std::vector<float> samples = whoosh(0.7, seed, 300, 9000, 1.1);
        std::reverse(samples.begin(), samples.end());
        return samples;
    }
    if (recipe == "riser") return riser(seed);
    if (recipe == "sub_drop") return subDrop(seed);
    if (recipe == "pop") return pop(seed);
    if (recipe == "click") return click(0.05, 2100, seed);
    if (recipe == "tick") return click(0.04, 1400, seed);
    if (recipe == "ding") return ding();
    if (recipe == "boop") return boop();
    if (recipe == "thud") return thud(seed);
    if (recipe == "shimmer") return shimmer(seed);
    if (recipe == "shutter") return shutter(seed);
    return std::nullopt;
}

} // namespace korvel::EffectSynth
