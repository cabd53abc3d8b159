#pragma once

#include "Core/Timeline/FrameGrid.hpp"

#include <cstdint>
#include <optional>

namespace korvel {

// Source ticks [sourceStart, sourceStart + sourceDuration) at the source's
// timescale laid linearly over output ticks [outStart, outStart + outDuration)
// at the grid. The composition's tracks and the timeline's source frame both
// map through it, so grain always follows the frame that is drawn.
struct TimedInsert {
    int64_t outStart = 0;
    int64_t outDuration = 0;
    int64_t sourceStart = 0;
    int64_t sourceDuration = 0;

    // Lays source ticks [s, e) at timescale t over output frames f ..< f + n,
    // cut at the source's end (`endTicks` at `endTimescale`). With `unscaled`
    // a range within one frame of its output length is shortened instead of
    // scaled. Nothing when no output time is left.
    static std::optional<TimedInsert> make(const FrameGrid& grid, int32_t t, int64_t endTicks, int32_t endTimescale,
                                           int64_t s, int64_t e, int64_t f, int64_t n, bool unscaled);

    // The source ticks shown at an output time; nothing outside the insert.
    std::optional<int64_t> sourceTicks(int64_t outTicks) const;

    bool operator==(const TimedInsert&) const = default;
};

} // namespace korvel
