#pragma once

#include <cstdint>

namespace korvel {

// Takes the first frame at or after each point of a fixed time grid.
struct SampleGate {
    int64_t intervalUs = 1;
    int64_t nextUs = 0;

    bool shouldTake(int64_t atUs);

    bool operator==(const SampleGate&) const = default;
};

struct FrameSize {
    int64_t width = 0;
    int64_t height = 0;
    bool operator==(const FrameSize&) const = default;
};

// The decode size for a long edge: never upscaled, even sides, at least 2.
FrameSize frameSize(double naturalWidth, double naturalHeight, int64_t longEdge);

} // namespace korvel
