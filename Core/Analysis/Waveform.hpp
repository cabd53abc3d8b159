#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace korvel {

// Peaks for drawing a sound under the timeline: buckets of whole 10 ms steps,
// never more than 8000 of them however long the source.
namespace Waveform {
inline constexpr int64_t minimumBucketUs = 10'000;
inline constexpr int64_t maximumBuckets = 8000;

struct Result {
    int64_t bucketUs = minimumBucketUs;
    std::vector<float> peaks;

    bool operator==(const Result&) const = default;
};

int64_t bucketUs(int64_t durationUs);
// Mono samples at 48 kHz.
Result peaks(std::span<const float> samples);
} // namespace Waveform

} // namespace korvel
