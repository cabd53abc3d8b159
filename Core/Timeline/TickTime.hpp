#pragma once

#include <cstdint>

namespace korvel {

// A time as a count of ticks at a timescale, never reduced.
struct TickTime {
    int64_t value = 0;
    int32_t timescale = 1;

    // No timescale is no time.
    double seconds() const { return timescale > 0 ? static_cast<double>(value) / timescale : 0; }
    // Converted to another timescale, halves away from zero; throws
    // TimeOverflow when the result leaves 64 bits.
    int64_t in(int32_t scale) const;

    bool operator==(const TickTime&) const = default;
};

} // namespace korvel
