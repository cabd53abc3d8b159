#include "Core/Audio/TimeScale.hpp"

#include "Core/Audio/PCMAudio.hpp"
#include "Core/Audio/AudioKernels.hpp"
#include "Core/Jobs.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace korvel::TimeScale {

namespace {

constexpr int64_t window = 1'920;    // 40 ms
constexpr int64_t hop = 960;         // half a window
constexpr int64_t searchRange = 480; // ± 10 ms
constexpr int64_t decimation = 4;
constexpr int64_t products = window / decimation;
constexpr int64_t candidates = 2 * searchRange / decimation + 1;
constexpr int64_t minimumFrames = 2 * window;
constexpr float weightFloor = 0.001f;

} // namespace

std::vector<float> resampled(const std::vector<float>& samples, size_t count) {
    const size_t n = samples.size();
    if (n >= 2 && count >= 2) {
        std::vector<float> out(count);
        for (size_t i = 0; i < count; ++i) {
            const double p = static_cast<double>(n - 1) * static_cast<double>(i) / static_cast<double>(count - 1);
            const size_t k = static_cast<size_t>(std::floor(p));
            const size_t k2 = std::min(n - 1, k + 1);
            const float f = static_cast<float>(p - static_cast<double>(k));
            out[i] = (1.0f - f) * samples[k] + f * samples[k2];
        }
        return out;
    }
    return std::vector<float>(count, n == 0 ? 0.0f : samples[0]);
}

std::vector<float> stretch(const std::vector<float>& samples, double speed) {
    if (speed == 1.0 || !(speed > 0)) return samples;
    const int64_t n = static_cast<int64_t>(samples.size());
    const double length = std::round(static_cast<double>(n) / speed);
    if (!(length <= static_cast<double>(PCMAudio::maximumFrames)))
        throw EngineFailure::invalidParams("The track's speed makes its sound longer than 4 hours.");
    const int64_t d = static_cast<int64_t>(length);
    if (d < 1) return {};
    if (n < minimumFrames || d < minimumFrames) return resampled(samples, static_cast<size_t>(d));

    std::vector<float> w(window);
    for (int64_t i = 0; i < window; ++i)
        w[static_cast<size_t>(i)] = static_cast<float>(0.5 * (1.0 - std::cos(2.0 * M_PI * static_cast<double>(i) / window)));
    std::vector<float> output(static_cast<size_t>(d + window), 0.0f);
    std::vector<float> weight(static_cast<size_t>(d + window), 0.0f);
    const int64_t last = n - window;
    const float* x = samples.data();

    // Every candidate start shares the ideal start's residue modulo 4, so the
    // decimated candidates form one contiguous sequence and their scores one
    // correlation with the decimated continuation.
    constexpr int64_t paddedCandidates = (candidates + 7) / 8 * 8;
    std::vector<float> sequence(static_cast<size_t>(paddedCandidates + products), 0.0f);
    std::vector<float> reference(static_cast<size_t>(products));
    std::vector<float> scores(static_cast<size_t>(paddedCandidates));

    int64_t previous = 0;
    for (int64_t o = 0; o < d; o += hop) {
        const int64_t h = static_cast<int64_t>(speed * static_cast<double>(o));
        int64_t g = 0;
        if (o > 0) {
            const int64_t c = previous + hop;
            g = std::clamp<int64_t>(h, 0, last);
            if (c <= last) {
                const int64_t lowest = h - searchRange;
                for (int64_t j = 0; j < products; ++j) reference[static_cast<size_t>(j)] = x[c + decimation * j];
                for (int64_t m = 0; m < paddedCandidates + products; ++m) {
                    const int64_t at = lowest + decimation * m;
                    sequence[static_cast<size_t>(m)] = at >= 0 && at < n ? x[at] : 0.0f;
                }
                AudioKernels::correlate(sequence.data(), reference.data(), static_cast<int>(products), scores.data(),
                                        static_cast<int>(paddedCandidates));
                bool found = false;
                float best = 0;
                for (int64_t k = 0; k < candidates; ++k) {
                    const int64_t t = lowest + decimation * k;
                    if (t < 0 || t > last) continue;
                    const float score = scores[static_cast<size_t>(k)];
                    if (!found || score > best) {
                        best = score;
                        g = t;
                        found = true;
                    }
                }
            }
        }
        for (int64_t i = 0; i < window && g + i < n; ++i) {
            output[static_cast<size_t>(o + i)] += x[g + i] * w[static_cast<size_t>(i)];
            weight[static_cast<size_t>(o + i)] += w[static_cast<size_t>(i)];
        }
        previous = g;
    }
    for (int64_t i = 0; i < d; ++i)
        if (weight[static_cast<size_t>(i)] > weightFloor) output[static_cast<size_t>(i)] /= weight[static_cast<size_t>(i)];
    output.resize(static_cast<size_t>(d));
    return output;
}

} // namespace korvel::TimeScale
