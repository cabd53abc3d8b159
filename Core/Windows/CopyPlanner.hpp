#pragma once

#include "Core/Timeline/FrameGrid.hpp"
#include "Core/Timeline/FrameRange.hpp"
#include "Core/Plan/RenderPlan.hpp"
#include "Core/Timeline/ResolvedTimeline.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace korvel {

namespace SegmentWindows {
// The most source bytes one copied run may hold.
inline constexpr int64_t copyMaxBytes = 67108864;
} // namespace SegmentWindows

// What the copy planning knows of a source whose pictures may be copied.
struct CopyableSource {
    int32_t timescale = 0;
    std::vector<int64_t> syncTicks;    // ascending presentation times of key frames
    std::vector<int64_t> bytesBefore;  // bytes of all samples before each key frame
    int64_t totalBytes = 0;
    int64_t endTicks = 0;

    bool operator==(const CopyableSource&) const = default;
};

// The source stretch of one copy window.
struct CopyRange {
    std::string assetId;
    int64_t srcStartTicks = 0;
    int64_t srcEndTicks = 0;

    bool operator==(const CopyRange&) const = default;
};

// Where the output shows a source untouched, its compressed pictures are
// copied instead of re-encoded. These rules find those stretches; anything
// they cannot place is simply rendered.
namespace CopyPlanner {
struct Run {
    FrameRange frames;
    TickRange ticks;  // starts on a sync sample
    bool operator==(const Run&) const = default;
};

// Output frames drawn over or graded, plan-wide; merged and sorted.
std::vector<FrameRange> framesEdited(const RenderPlan& plan, const ResolvedTimeline& timeline, RenderVariant variant);
// Frames of a segment whose framing is not the neutral one.
std::vector<FrameRange> framing(const ResolvedSegment& segment, const FrameGrid& grid);
std::vector<FrameRange> merged(std::vector<FrameRange> ranges);
// The parts of `ranges` that `cuts` (sorted and merged) do not cover.
std::vector<FrameRange> subtract(const std::vector<FrameRange>& cuts, const std::vector<FrameRange>& ranges);
// Copyable runs of one free range of a segment, cut on the first sync sample
// of every two-second bucket of source time.
std::vector<Run> split(FrameRange free, const ResolvedSegment& segment, const CopyableSource& source,
                       const FrameGrid& grid);
// The source's pictures last to the segment's end, within half an output
// frame: only then can a copy that reaches the segment's end write it whole.
bool picturesCover(const ResolvedSegment& segment, int64_t sourceEndTicks, const FrameGrid& grid);
// A quarter of an output frame in source ticks.
int64_t toleranceTicks(const CopyableSource& source, const FrameGrid& grid);
} // namespace CopyPlanner

} // namespace korvel
