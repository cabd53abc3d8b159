#include "Core/Analysis/Waveform.hpp"

#include <algorithm>
#include <cmath>

namespace korvel::Waveform {

namespace {
float maximumMagnitude(const float* x, size_t n) {
    float lanes[8] = {};
    size_t i = 0;
    for (; i + 8 <= n; i += 8)
        for (int k = 0; k < 8; ++k) lanes[k] = std::max(lanes[k], std::fabs(x[i + k]));
    float peak = 0;
    for (float lane : lanes) peak = std::max(peak, lane);
    for (; i < n; ++i) peak = std::max(peak, std::fabs(x[i]));
    return peak;
}
} // namespace

int64_t bucketUs(int64_t durationUs) {
    if (durationUs <= 0) return minimumBucketUs;
    const int64_t shortest = (durationUs + maximumBuckets - 1) / maximumBuckets;
    return (shortest + minimumBucketUs - 1) / minimumBucketUs * minimumBucketUs;
}

Result peaks(std::span<const float> samples) {
    const auto count = static_cast<int64_t>(samples.size());
    Result result;
    result.bucketUs = bucketUs((count * 1'000'000 + 24'000) / 48'000);
    if (samples.empty()) return result;
    const auto frames = static_cast<size_t>((result.bucketUs * 48'000 + 500'000) / 1'000'000);
    result.peaks.resize((samples.size() + frames - 1) / frames);
    for (size_t b = 0; b < result.peaks.size(); ++b) {
        const size_t start = b * frames;
        // NaN samples never win the comparison, so a bucket of NaN reads 0.
        result.peaks[b] = std::min(1.0f, maximumMagnitude(samples.data() + start, std::min(frames, samples.size() - start)));
    }
    return result;
}

} // namespace korvel::Waveform
