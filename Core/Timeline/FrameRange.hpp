#pragma once

#include <cstdint>

namespace korvel {

// A half-open range lowerBound ..< upperBound of output frames or source ticks.
struct FrameRange {
    int64_t lowerBound = 0;
    int64_t upperBound = 0;

    bool isEmpty() const { return lowerBound >= upperBound; }
    int64_t count() const { return upperBound - lowerBound; }
    bool contains(int64_t value) const { return lowerBound <= value && value < upperBound; }

    bool operator==(const FrameRange&) const = default;
};

using TickRange = FrameRange;

} // namespace korvel
