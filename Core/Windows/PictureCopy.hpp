#pragma once

#include "Core/Plan/RenderPlan.hpp"
#include "Core/Timeline/ResolvedTimeline.hpp"

#include <cstdint>
#include <optional>

namespace korvel {

// Whether a whole export may pass its one source's pictures through.
namespace PictureCopy {
struct Source {
    int64_t displayWidth = 0;
    int64_t displayHeight = 0;
    int64_t firstPtsTicks = 0;
    int64_t endTicks = 0;
    int32_t timescale = 0;
    double bitsPerSecond = 0;
    bool isHDR = false;
    bool isDeliverable = false;
    // Every stored sample is shown within the track's length, and its
    // duration, decode step and composition offset fit the 32 bits a movie
    // file gives them.
    bool timesWritable = true;

    bool operator==(const Source&) const = default;
};

bool allowed(const RenderPlan& plan, const ResolvedTimeline& timeline, const Source& source,
             std::optional<int64_t> askedBitsPerSecond);
} // namespace PictureCopy

} // namespace korvel
