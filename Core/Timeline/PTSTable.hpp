#pragma once

#include "Core/Plan/Canvas.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace korvel {

// The presentation times of a source track's displayable frames, ascending,
// in the track's own timescale.
struct PTSTable {
    int32_t timescale = 0;
    std::vector<int64_t> pts;
    int64_t endTicks = 0;

    PTSTable() = default;
    PTSTable(int32_t timescale, std::vector<int64_t> pts, int64_t endTicks)
        : timescale(timescale), pts(std::move(pts)), endTicks(endTicks) {}

    int64_t count() const { return static_cast<int64_t>(pts.size()); }
    int64_t firstPtsUs() const;
    // Double precision, halves away from zero; TimeOverflow when out of range.
    int64_t us(int64_t ticks) const;
    int64_t ticks(int64_t us) const;
    // Nearest entry; a tie goes to the earlier one.
    int64_t nearestIndex(int64_t ticks) const;
    int64_t nearestIndexToUs(int64_t us) const { return nearestIndex(ticks(us)); }
    // The last entry whose pts is not after the given time (0 before the first).
    int64_t indexOnScreen(int64_t ticks) const;
    // Half the mean frame interval: asking for a frame there lands mid-frame.
    int64_t middleOfFrameTicks() const;
    std::optional<FrameRate> measuredFrameRate() const;

    bool operator==(const PTSTable&) const = default;
};

} // namespace korvel
