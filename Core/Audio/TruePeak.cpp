#include "Core/Audio/TruePeak.hpp"

#include "Core/Audio/AudioKernels.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numeric>

namespace korvel {

namespace {

constexpr int taps = 32;
// Output i reads x[i − before] ... x[i + after].
constexpr int before = 15;
constexpr int after = 16;

double besselI0(double x) {
    double sum = 0;
    double term = 1;  // (x/2)^k / k!
    for (int k = 0; k < 32; ++k) {
        if (k > 0) term *= (x / 2) / k;
        sum += term * term;
    }
    return sum;
}

struct Phases {
    // Taps of the offsets ¼, ½ and ¾.
    AudioKernels::PhaseTaps tap;
    // Σ|tap| of the widest phase, a little widened for float rounding:
    // no interpolated value exceeds this times the largest sample it reads.
    float gainBound = 0;
};

const Phases& phases() {
    static const Phases built = [] {
        Phases p{};
        const double offsets[3] = {0.25, 0.5, 0.75};
        double widest = 0;
        for (int f = 0; f < 3; ++f) {
            double t[taps];
            double sum = 0;
            for (int k = -15; k <= 16; ++k) {
                const double a = k - offsets[f];
                const double sinc = std::fabs(a) < 1e-12 ? 1.0 : std::sin(M_PI * a) / (M_PI * a);
                const double u = a / 16.0;
                const double w = std::fabs(u) <= 1 ? besselI0(8.0 * std::sqrt(1.0 - u * u)) / 427.56411572180474 : 0.0;
                t[k + 15] = sinc * w;
                sum += t[k + 15];
            }
            double l1 = 0;
            for (int k = 0; k < taps; ++k) {
                p.tap[f][k] = static_cast<float>(t[k] / sum);
                l1 += std::fabs(static_cast<double>(p.tap[f][k]));
            }
            widest = std::max(widest, l1);
        }
        p.gainBound = static_cast<float>(widest * (1.0 + 1e-4));
        return p;
    }();
    return built;
}

enum class Sink { store, raise };

// Envelope of `count` outputs (a multiple of 16) whose first reads padded[0].
void envelopeRun(const float* padded, size_t count, float* out, Sink sink) {
    AudioKernels::envelope(padded, count, phases().tap, out, sink == Sink::raise);
}

float peakRun(const float* padded, size_t count) { return AudioKernels::envelopePeak(padded, count, phases().tap); }

float sampleMax(const float* x, size_t count) { return AudioKernels::largestMagnitude(x, count); }

// Walks outputs [first, last) of x in runs of 16, reading real samples where
// they exist and the zeros of the padding beyond both ends.
template <class Visit>
void walk(const float* x, size_t n, size_t first, size_t last, Visit&& visit) {
    size_t i = first;
    float edge[16 + taps - 1 + 16];
    while (i < last) {
        const size_t count = std::min<size_t>(16, last - i);
        // Inside: a whole run of 16 with all its reads in bounds.
        if (count == 16 && i >= before && i + 16 + after <= n) {
            size_t end = i + 16;
            while (end + 16 <= last && end + 16 + after <= n) end += 16;
            visit(x + i - before, i, end - i, false);
            i = end;
            continue;
        }
        // At an end: copy what exists into a zero-padded run.
        std::fill(std::begin(edge), std::end(edge), 0.0f);
        for (size_t j = 0; j < 16 + taps - 1; ++j) {
            const int64_t src = static_cast<int64_t>(i + j) - before;
            if (src >= 0 && src < static_cast<int64_t>(n)) edge[j] = x[src];
        }
        visit(edge, i, count, true);
        i += count;
    }
}

void envelopeInto(const std::vector<float>& samples, float* out, Sink sink) {
    const size_t n = samples.size();
    walk(samples.data(), n, 0, n, [&](const float* padded, size_t at, size_t count, bool partial) {
        if (!partial) {
            envelopeRun(padded, count, out + at, sink);
            return;
        }
        float run[16];
        std::memcpy(run, out + at, count * sizeof(float));
        envelopeRun(padded, 16, run, sink);
        std::memcpy(out + at, run, count * sizeof(float));
    });
}

float peakOf(const std::vector<float>& samples, size_t first, size_t last) {
    float peak = 0;
    walk(samples.data(), samples.size(), first, last, [&](const float* padded, size_t, size_t count, bool partial) {
        if (!partial) {
            peak = std::max(peak, peakRun(padded, count));
            return;
        }
        float run[16] = {};
        envelopeRun(padded, 16, run, Sink::store);
        for (size_t j = 0; j < count; ++j) peak = std::max(peak, run[j]);
    });
    return peak;
}

} // namespace

namespace TruePeak {

std::vector<float> envelope(const std::vector<float>& samples) {
    std::vector<float> out(samples.size());
    envelopeInto(samples, out.data(), Sink::store);
    return out;
}

void raise(std::vector<float>& envelope, const std::vector<float>& samples) {
    if (envelope.size() != samples.size()) envelope.resize(samples.size(), 0.0f);
    envelopeInto(samples, envelope.data(), Sink::raise);
}

double measureDb(const PCMAudio& audio) {
    // The peak is found exactly, but blocks that cannot hold it are skipped:
    // an interpolated value is at most gainBound times the largest sample it
    // reads, so a block whose neighbourhood is quieter than the peak found so
    // far is never interpolated.
    constexpr size_t block = 4096;
    const float bound = phases().gainBound;
    struct Candidate {
        float reach;
        size_t channel;
        size_t block;
    };
    std::vector<Candidate> candidates;
    float peak = 0;
    const std::vector<float>* previous = nullptr;
    for (size_t c = 0; c < audio.channels.size(); ++c) {
        const auto& channel = audio.channels[c];
        if (channel.empty()) continue;
        if (previous != nullptr && PCMAudio::sameSamples(channel, *previous)) continue;
        previous = &channel;
        const size_t blocks = (channel.size() + block - 1) / block;
        std::vector<float> loudest(blocks);
        for (size_t b = 0; b < blocks; ++b) {
            const size_t start = b * block;
            loudest[b] = sampleMax(channel.data() + start, std::min(block, channel.size() - start));
            peak = std::max(peak, loudest[b]);
        }
        for (size_t b = 0; b < blocks; ++b) {
            float around = loudest[b];
            if (b > 0) around = std::max(around, loudest[b - 1]);
            if (b + 1 < blocks) around = std::max(around, loudest[b + 1]);
            candidates.push_back({around * bound, c, b});
        }
    }
    std::sort(candidates.begin(), candidates.end(),
              [](const Candidate& a, const Candidate& b) { return a.reach > b.reach; });
    for (const Candidate& candidate : candidates) {
        if (!(candidate.reach > peak)) break;
        const auto& channel = audio.channels[candidate.channel];
        const size_t start = candidate.block * block;
        peak = std::max(peak, peakOf(channel, start, std::min(channel.size(), start + block)));
    }
    if (!(peak > 0)) return silenceDb;
    return std::max(silenceDb, 20.0 * std::log10(static_cast<double>(peak)));
}

std::vector<float> envelope(const PCMSource& audio, int channel, int64_t from, int64_t count) {
    // Outputs read 15 samples before and 16 after them; beyond the channel's
    // ends the zeros of the whole envelope's padding stand in.
    const int64_t n = audio.frameCount();
    const int64_t a = std::max<int64_t>(0, from - after), b = std::min(n, from + count + after);
    std::vector<float> around(static_cast<size_t>(b - a));
    if (b > a) audio.read(channel, a, b - a, around.data());
    std::vector<float> env = envelope(around);
    return std::vector<float>(env.begin() + (from - a), env.begin() + (from - a + count));
}

double measureDb(const PCMSource& audio) {
    // As for sound in memory: loudest samples per block first, then only the
    // blocks that could hold the peak are interpolated.
    constexpr int64_t block = 4096;
    const float bound = phases().gainBound;
    const int64_t n = audio.frameCount();
    struct Candidate {
        float reach;
        int channel;
        int64_t block;
    };
    std::vector<Candidate> candidates;
    float peak = 0;
    std::vector<float> samples;
    for (int c = 0; c < audio.channelCount() && n > 0; ++c) {
        if (c > 0 && audio.repeats(c)) continue;
        const int64_t blocks = (n + block - 1) / block;
        std::vector<float> loudest(static_cast<size_t>(blocks));
        for (int64_t at = 0; at < n; at += PCMSources::blockFrames) {
            const int64_t m = std::min(PCMSources::blockFrames, n - at);
            samples.resize(static_cast<size_t>(m));
            audio.read(c, at, m, samples.data());
            for (int64_t s = 0; s < m; s += block) {
                const float v = sampleMax(samples.data() + s, static_cast<size_t>(std::min(block, m - s)));
                loudest[static_cast<size_t>((at + s) / block)] = v;
                peak = std::max(peak, v);
            }
        }
        for (int64_t b = 0; b < blocks; ++b) {
            float around = loudest[static_cast<size_t>(b)];
            if (b > 0) around = std::max(around, loudest[static_cast<size_t>(b - 1)]);
            if (b + 1 < blocks) around = std::max(around, loudest[static_cast<size_t>(b + 1)]);
            candidates.push_back({around * bound, c, b});
        }
    }
    std::sort(candidates.begin(), candidates.end(),
              [](const Candidate& a, const Candidate& b) { return a.reach > b.reach; });
    for (const Candidate& candidate : candidates) {
        if (!(candidate.reach > peak)) break;
        const int64_t start = candidate.block * block;
        for (float v : envelope(audio, candidate.channel, start, std::min(block, n - start))) peak = std::max(peak, v);
    }
    if (!(peak > 0)) return silenceDb;
    return std::max(silenceDb, 20.0 * std::log10(static_cast<double>(peak)));
}

} // namespace TruePeak

} // namespace korvel
