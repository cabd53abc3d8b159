#include "Core/Audio/LoudnessProfile.hpp"

#include "Core/Audio/PCMSource.hpp"
#include "Core/Audio/AudioKernels.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace korvel {

namespace {

constexpr int64_t stepFrames = LoudnessProfile::stepFrames;
// Stretches of a long channel are filtered side by side; each starts this
// many frames early from a zero state. The slowest pole (r ≈ 0.995) has
// forgotten the difference to the true state long before, far below double
// rounding, so the steps are those of one continuous pass.
constexpr int64_t warmUpFrames = 48'000;
constexpr int64_t warmUpSteps = warmUpFrames / stepFrames;
// Channels shorter than this are not cut into stretches.
constexpr int64_t minimumStretchSteps = 2'000;
constexpr int lanes = 4;

// ITU-R BS.1770 K-weighting at 48 kHz, the shelf then the high pass: b0, b1, b2, a1, a2.
constexpr double kWeighting[10] = {1.53512485958697, -2.69169618940638, 1.19839281085285, -1.69065929318241,
                                   0.73248077421585, 1.0, -2.0, 1.0, -1.99004745483398, 0.99007225036621};

// One stretch of one channel: frames [begin, end) give steps into `out`.
// The samples are in memory, or read from `source` a window at a time.
struct Stretch {
    const float* samples = nullptr;
    int64_t begin = 0;
    int64_t end = 0;
    double* out = nullptr;
    const PCMSource* source = nullptr;
    int channel = 0;
    std::vector<float>* window = nullptr;
    int64_t windowBegin = 0;

    bool present() const { return samples != nullptr || source != nullptr; }
    // Frames [f0, f0 + n) of the channel, n ≤ one step.
    const float* at(int64_t f0, int64_t n) {
        if (samples != nullptr) return samples + f0;
        const int64_t windowEnd = windowBegin + static_cast<int64_t>(window->size());
        if (f0 < windowBegin || f0 + n > windowEnd) {
            windowBegin = f0;
            const int64_t m = std::min(PCMSources::blockFrames, end - f0);
            window->resize(static_cast<size_t>(m));
            source->read(channel, f0, m, window->data());
        }
        return window->data() + (f0 - windowBegin);
    }
};

// Four stretches side by side, a step of each at a time.
void filterStretches(const Stretch* stretches, int count) {
    Stretch lane[lanes];
    for (int l = 0; l < count; ++l) lane[l] = stretches[l];
    int64_t longest = 0;
    for (int l = 0; l < lanes; ++l) longest = std::max(longest, lane[l].end - lane[l].begin);
    const int64_t totalSteps = warmUpSteps + (longest + stepFrames - 1) / stepFrames;

    double state[4 * lanes] = {};
    double power[lanes];
    alignas(32) float partial[lanes][stepFrames];
    static const float zeros[stepFrames] = {};

    for (int64_t s = 0; s < totalSteps; ++s) {
        const float* p[lanes];
        int valid[lanes];
        for (int l = 0; l < lanes; ++l) {
            const int64_t f0 = lane[l].begin - warmUpFrames + s * stepFrames;
            const int64_t n = !lane[l].present() || f0 < 0 ? 0 : std::clamp<int64_t>(lane[l].end - f0, 0, stepFrames);
            valid[l] = static_cast<int>(n);
            if (n == stepFrames) {
                p[l] = lane[l].at(f0, n);
            } else if (n == 0) {
                p[l] = zeros;
            } else {
                std::memcpy(partial[l], lane[l].at(f0, n), static_cast<size_t>(n) * sizeof(float));
                std::memset(partial[l] + n, 0, static_cast<size_t>(stepFrames - n) * sizeof(float));
                p[l] = partial[l];
            }
        }
        // Lanes before their start or past their end feed zeros; those steps are not kept.
        AudioKernels::biquadPower(p, static_cast<int>(stepFrames), valid, kWeighting, state, power);
        if (s < warmUpSteps) continue;
        const int64_t step = s - warmUpSteps;
        for (int l = 0; l < lanes; ++l) {
            if (lane[l].out == nullptr || lane[l].begin + step * stepFrames >= lane[l].end) continue;
            lane[l].out[step] = power[l] / valid[l];
        }
    }
}

} // namespace

LoudnessProfile::LoudnessProfile(const PCMAudio& audio) {
    frameCount = audio.frameCount();
    const int64_t stepCount = (frameCount + stepFrames - 1) / stepFrames;
    steps.assign(static_cast<size_t>(stepCount), 0.0);

    // Distinct non-empty channels; a channel equal to the one before adds the same powers again.
    std::vector<const std::vector<float>*> distinct;
    std::vector<size_t> weightOf;
    const std::vector<float>* previous = nullptr;
    for (const auto& channel : audio.channels) {
        if (channel.empty()) continue;
        if (previous != nullptr && PCMAudio::sameSamples(channel, *previous)) {
            ++weightOf.back();
        } else {
            distinct.push_back(&channel);
            weightOf.push_back(1);
        }
        previous = &channel;
    }

    std::vector<std::vector<double>> powers(distinct.size());
    std::vector<Stretch> stretches;
    for (size_t c = 0; c < distinct.size(); ++c) {
        const auto& channel = *distinct[c];
        const int64_t n = static_cast<int64_t>(channel.size());
        const int64_t own = (n + stepFrames - 1) / stepFrames;
        powers[c].assign(static_cast<size_t>(own), 0.0);
        const int64_t pieces = own >= lanes * minimumStretchSteps ? lanes : 1;
        const int64_t pieceSteps = (own + pieces - 1) / pieces;
        for (int64_t k = 0; k < pieces; ++k) {
            const int64_t begin = k * pieceSteps * stepFrames;
            const int64_t end = std::min(n, (k + 1) * pieceSteps * stepFrames);
            if (begin >= end) continue;
            stretches.push_back({channel.data(), begin, end, powers[c].data() + k * pieceSteps});
        }
    }
    for (size_t i = 0; i < stretches.size(); i += lanes)
        filterStretches(stretches.data() + i, static_cast<int>(std::min<size_t>(lanes, stretches.size() - i)));

    for (size_t c = 0; c < distinct.size(); ++c) {
        const size_t m = std::min(steps.size(), powers[c].size());
        for (size_t w = 0; w < weightOf[c]; ++w)
            for (size_t i = 0; i < m; ++i) steps[i] += powers[c][i];
    }
}

LoudnessProfile::LoudnessProfile(const PCMSource& audio) {
    frameCount = audio.channelCount() > 0 ? audio.frameCount() : 0;
    const int64_t stepCount = (frameCount + stepFrames - 1) / stepFrames;
    steps.assign(static_cast<size_t>(stepCount), 0.0);
    if (frameCount == 0) return;

    // Stretches cut exactly as for sound in memory, so the steps are the same numbers.
    std::vector<int> distinct;
    std::vector<size_t> weightOf;
    for (int c = 0; c < audio.channelCount(); ++c) {
        if (c > 0 && audio.repeats(c)) {
            ++weightOf.back();
        } else {
            distinct.push_back(c);
            weightOf.push_back(1);
        }
    }
    const int64_t n = frameCount;
    const int64_t own = stepCount;
    const int64_t pieces = own >= lanes * minimumStretchSteps ? lanes : 1;
    const int64_t pieceSteps = (own + pieces - 1) / pieces;
    std::vector<std::vector<double>> powers(distinct.size(), std::vector<double>(static_cast<size_t>(own), 0.0));
    std::vector<Stretch> stretches;
    for (size_t c = 0; c < distinct.size(); ++c) {
        for (int64_t k = 0; k < pieces; ++k) {
            const int64_t begin = k * pieceSteps * stepFrames;
            const int64_t end = std::min(n, (k + 1) * pieceSteps * stepFrames);
            if (begin >= end) continue;
            Stretch s;
            s.begin = begin;
            s.end = end;
            s.out = powers[c].data() + k * pieceSteps;
            s.source = &audio;
            s.channel = distinct[c];
            stretches.push_back(s);
        }
    }
    std::vector<std::vector<float>> windows(stretches.size());
    for (size_t i = 0; i < stretches.size(); ++i) stretches[i].window = &windows[i];
    for (size_t i = 0; i < stretches.size(); i += lanes)
        filterStretches(stretches.data() + i, static_cast<int>(std::min<size_t>(lanes, stretches.size() - i)));

    for (size_t c = 0; c < distinct.size(); ++c)
        for (size_t w = 0; w < weightOf[c]; ++w)
            for (size_t i = 0; i < steps.size(); ++i) steps[i] += powers[c][i];
}

double LoudnessProfile::integrated() const { return gated(0, steps.size()); }

double LoudnessProfile::lufs(int64_t lower, int64_t upper) const {
    const int64_t count = static_cast<int64_t>(steps.size());
    const int64_t first = lower < 0 ? 0 : lower / stepFrames;
    int64_t end = upper <= 0 ? 0 : upper / stepFrames + (upper % stepFrames != 0 ? 1 : 0);
    end = std::min(count, end);
    if (first >= end) return Loudness::silenceLufs;
    return gated(static_cast<size_t>(first), static_cast<size_t>(end));
}

double LoudnessProfile::gated(size_t first, size_t end) const {
    constexpr double floor = Loudness::silenceLufs;
    const size_t n = end - first;
    if (n == 0) return floor;
    const double* s = steps.data() + first;
    if (n < 40) {
        double sum = 0;
        for (size_t i = 0; i < n; ++i) sum += s[i];
        const double mean = sum / static_cast<double>(n);
        if (!(mean > 0)) return floor;
        return std::max(floor, 10.0 * std::log10(mean) - 0.691);
    }
    // Blocks of 400 ms every 100 ms; a tail shorter than a block adds none.
    const size_t blocks = (n - 40) / 10 + 1;
    std::vector<double> power(blocks);
    for (size_t b = 0; b < blocks; ++b) {
        double sum = 0;
        const double* block = s + b * 10;
        for (size_t i = 0; i < 40; ++i) sum += block[i];
        power[b] = sum / 40.0;
    }
    auto loudness = [](double p) { return 10.0 * std::log10(p) - 0.691; };
    double keptSum = 0;
    size_t kept = 0;
    for (double p : power) {
        if (p > 0 && loudness(p) > floor) {
            keptSum += p;
            ++kept;
        }
    }
    if (kept == 0) return floor;
    const double threshold = std::max(loudness(keptSum / static_cast<double>(kept)), floor) - 10.0;
    double sum = 0;
    size_t count = 0;
    for (double p : power) {
        if (p > 0 && loudness(p) > floor && loudness(p) > threshold) {
            sum += p;
            ++count;
        }
    }
    if (count == 0) return floor;
    const double mean = sum / static_cast<double>(count);
    if (!(mean > 0)) return floor;
    return std::max(floor, loudness(mean));
}

namespace Loudness {
double integrated(const PCMAudio& audio) { return LoudnessProfile(audio).integrated(); }
double integrated(const PCMSource& audio) { return LoudnessProfile(audio).integrated(); }
} // namespace Loudness

} // namespace korvel
