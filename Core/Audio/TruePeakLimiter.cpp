#include "Core/Audio/TruePeakLimiter.hpp"

#include "Core/Audio/TruePeak.hpp"

#include <algorithm>
#include <deque>
#include <cmath>

namespace korvel::TruePeakLimiter {

namespace {

// 5 ms of look-ahead, and the same length for the smoothing behind, so a
// peak is only ever averaged with gains that already include it.
constexpr size_t window = 240;
// One-pole release with a 100 ms time constant: e^(−1/4800) and its complement.
constexpr float releaseKeep = 0.9997917f;
constexpr float releaseTake = 0.00020831823f;

} // namespace

std::vector<float> gainCurve(const PCMAudio& audio, float ceiling) {
    const size_t n = static_cast<size_t>(audio.frameCount());
    std::vector<float> g(n, 0.0f);
    const std::vector<float>* previous = nullptr;
    for (const auto& channel : audio.channels) {
        if (previous != nullptr && PCMAudio::sameSamples(channel, *previous)) continue;
        previous = &channel;
        if (channel.size() != n) continue;
        TruePeak::raise(g, channel);
    }
    for (float& v : g) v = v > ceiling ? ceiling / v : 1.0f;

    // Minimum over the frame and the 239 after it, with a monotonic queue of
    // frame indices: memory stays at one window whatever the length.
    if (n > 0) {
        std::deque<size_t> queue;
        size_t next = 0;
        for (size_t i = 0; i < n; ++i) {
            const size_t last = std::min(n - 1, i + window - 1);
            for (; next <= last; ++next) {
                while (!queue.empty() && g[queue.back()] >= g[next]) queue.pop_back();
                queue.push_back(next);
            }
            while (queue.front() < i) queue.pop_front();
            // g[i] is read again only through the queue's later entries, which lie past i.
            const float minimum = g[queue.front()];
            if (queue.front() == i) queue.pop_front();
            g[i] = minimum;
        }
    }

    float r = 1.0f;
    for (float& v : g) {
        if (v < r)
            r = v;
        else
            r = r * releaseKeep + v * releaseTake;
        v = r;
    }

    // Mean of the last 240 values; before the start the first value stands in.
    if (!g.empty()) {
        const float first = g[0];
        float ring[window];
        std::fill(std::begin(ring), std::end(ring), first);
        double sum = static_cast<double>(first) * window;
        for (size_t i = 0; i < n; ++i) {
            const size_t slot = i % window;
            sum += static_cast<double>(g[i]) - static_cast<double>(ring[slot]);
            ring[slot] = g[i];
            g[i] = static_cast<float>(sum / window);
        }
    }
    return g;
}

Output apply(const PCMAudio& audio, double ceilingDb) {
    if (audio.channels.empty() || audio.frameCount() == 0 || !(TruePeak::measureDb(audio) > ceilingDb))
        return {audio, {}, 0.0};
    double target = ceilingDb;
    Output out;
    for (int pass = 0; pass < 4; ++pass) {
        // The previous pass's result goes before the next is made: two
        // limited copies of a long mix never live at once.
        out.buffer = PCMAudio();
        out.gain = gainCurve(audio, static_cast<float>(std::pow(10.0, target / 20.0)));
        const std::vector<float>& curve = out.gain;
        out.buffer = audio.mapChannels([&](const std::vector<float>& channel) {
            std::vector<float> limited(channel.size());
            const size_t m = std::min(channel.size(), curve.size());
            for (size_t i = 0; i < m; ++i) limited[i] = channel[i] * curve[i];
            return limited;
        });
        const double peak = TruePeak::measureDb(out.buffer);
        if (peak <= ceilingDb + ceilingToleranceDb) break;
        target -= (peak - ceilingDb) + 0.01;
    }
    const float deepest = *std::min_element(out.gain.begin(), out.gain.end());
    out.reductionDb = -20.0 * std::log10(static_cast<double>(deepest));
    return out;
}

float gainCurve(const PCMSource& audio, float ceiling, PCMStore& into) {
    const int64_t n = audio.frameCount();
    const int64_t block = PCMSources::blockFrames;
    // Raw gains of frames [a, b): the ceiling over the envelope, per frame the
    // largest over the channels.
    auto raw = [&](int64_t a, int64_t b) {
        std::vector<float> g(static_cast<size_t>(b - a), 0.0f);
        for (int c = 0; c < audio.channelCount(); ++c) {
            if (c > 0 && audio.repeats(c)) continue;
            const std::vector<float> env = TruePeak::envelope(audio, c, a, b - a);
            for (size_t i = 0; i < g.size(); ++i) g[i] = std::max(g[i], env[i]);
        }
        for (float& v : g) v = v > ceiling ? ceiling / v : 1.0f;
        return g;
    };
    float r = 1.0f;
    float ring[window];
    double sum = 0;
    float deepest = 1.0f;
    std::vector<float> out;
    for (int64_t a = 0; a < n; a += block) {
        const int64_t b = std::min(n, a + block);
        // The look-ahead reads up to 239 frames past the block.
        const int64_t reach = std::min(n, b + static_cast<int64_t>(window) - 1);
        const std::vector<float> g = raw(a, reach);
        out.resize(static_cast<size_t>(b - a));
        std::deque<size_t> queue;
        size_t next = 0;
        const size_t have = g.size();
        for (size_t i = 0; i < out.size(); ++i) {
            const size_t last = std::min(have - 1, i + window - 1);
            for (; next <= last; ++next) {
                while (!queue.empty() && g[queue.back()] >= g[next]) queue.pop_back();
                queue.push_back(next);
            }
            while (queue.front() < i) queue.pop_front();
            out[i] = g[queue.front()];
        }
        for (float& v : out) {
            if (v < r)
                r = v;
            else
                r = r * releaseKeep + v * releaseTake;
            v = r;
        }
        if (a == 0) {
            std::fill(std::begin(ring), std::end(ring), out[0]);
            sum = static_cast<double>(out[0]) * window;
        }
        for (size_t i = 0; i < out.size(); ++i) {
            const size_t slot = static_cast<size_t>(a + static_cast<int64_t>(i)) % window;
            sum += static_cast<double>(out[i]) - static_cast<double>(ring[slot]);
            ring[slot] = out[i];
            out[i] = static_cast<float>(sum / window);
            deepest = std::min(deepest, out[i]);
        }
        into.write(0, a, b - a, out.data());
    }
    return deepest;
}

Streamed apply(const PCMSources::Source& audio, double ceilingDb, const PCMStores& stores) {
    if (audio->channelCount() == 0 || audio->frameCount() == 0 || !(TruePeak::measureDb(*audio) > ceilingDb))
        return {audio, 0.0};
    double target = ceilingDb;
    Streamed out;
    float deepest = 1.0f;
    for (int pass = 0; pass < 4; ++pass) {
        out.buffer.reset();
        auto curve = stores(1, audio->frameCount());
        deepest = gainCurve(*audio, static_cast<float>(std::pow(10.0, target / 20.0)), *curve);
        out.buffer = PCMSources::limited(audio, curve);
        const double peak = TruePeak::measureDb(*out.buffer);
        if (peak <= ceilingDb + ceilingToleranceDb) break;
        target -= (peak - ceilingDb) + 0.01;
    }
    out.reductionDb = -20.0 * std::log10(static_cast<double>(deepest));
    return out;
}

} // namespace korvel::TruePeakLimiter
