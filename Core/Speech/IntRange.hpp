#pragma once

#include <cstdint>

namespace korvel {

// A half-open range [lower, upper) of times in microseconds or of indices.
struct IntRange {
    int64_t lower = 0;
    int64_t upper = 0;

    int64_t length() const { return upper - lower; }
    bool empty() const { return upper <= lower; }
    bool contains(int64_t x) const { return x >= lower && x < upper; }
    // Ranges that only touch do not overlap; an empty range overlaps nothing.
    bool overlaps(const IntRange& other) const {
        return !empty() && !other.empty() && lower < other.upper && other.lower < upper;
    }
    bool operator==(const IntRange&) const = default;
};

} // namespace korvel
