#pragma once

#include "Core/Timeline/FrameGrid.hpp"
#include "Core/Timeline/FrameRange.hpp"
#include "Core/Timeline/PTSTable.hpp"
#include "Core/Plan/RenderPlan.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace korvel {

struct ResolvedTransition {
    TransitionStyle style = TransitionStyle::smooth;
    // Output frames at the start of the incoming segment that it covers.
    int64_t frames = 0;
    // Index into ResolvedTimeline::segments of the segment that is left.
    int64_t outgoingSegment = 0;
    int64_t tailStartTicks = 0;
    int64_t tailEndTicks = 0;
    int64_t sampleOffsetTicks = 0;

    bool operator==(const ResolvedTransition&) const = default;
};

struct ResolvedSegment {
    int64_t planIndex = 0;
    std::string assetId;
    bool still = false;
    int64_t firstFrame = 0;
    int64_t endFrame = 0;
    double speed = 1;
    int64_t srcStartTicks = 0;
    int64_t srcEndTicks = 0;
    int32_t timescale = 0;
    int64_t sampleOffsetTicks = 0;
    Transform transform;
    std::optional<ResolvedTransition> transition;

    bool operator==(const ResolvedSegment&) const = default;
};

struct ResolvedOverlay {
    int64_t planIndex = 0;
    std::string assetId;
    VideoOverlayRole role = VideoOverlayRole::layout;
    int64_t firstFrame = 0;
    int64_t endFrame = 0;
    std::optional<TickRange> srcTicks;  // absent for a still
    int32_t timescale = 1;
    int64_t sampleOffsetTicks = 0;
    NormalizedRect rect;
    double opacity = 0;
    std::optional<NormalizedRect> window;
    std::optional<double> cornerRadiusPct;
    std::optional<std::string> matteKey;

    bool operator==(const ResolvedOverlay&) const = default;
};

struct SourceFrameRef {
    std::string assetId;
    int64_t ptsTicks = 0;
    int32_t timescale = 0;

    bool operator==(const SourceFrameRef&) const = default;
};

// One composition instruction's worth of output frames.
struct ComposedRange {
    FrameRange frames;
    std::optional<int64_t> segment;
    bool transitioning = false;
    std::vector<int64_t> overlays;
    bool background = false;

    bool operator==(const ComposedRange&) const = default;
};

struct TimelineError : std::exception {
    enum class Kind { missingSource, emptySource };
    Kind kind;
    std::string assetId;

    TimelineError(Kind kind, std::string assetId) : kind(kind), assetId(std::move(assetId)) {}
    static TimelineError missingSource(std::string id) { return {Kind::missingSource, std::move(id)}; }
    static TimelineError emptySource(std::string id) { return {Kind::emptySource, std::move(id)}; }
    const char* what() const noexcept override {
        return kind == Kind::missingSource ? "missing source" : "empty source";
    }
    bool operator==(const TimelineError& o) const { return kind == o.kind && assetId == o.assetId; }
};

// A plan resolved onto its frame grid: whole output frames for every segment,
// overlay and transition, and exact source ticks snapped to real frames.
// Arithmetic that leaves 64 bits throws TimeOverflow.
struct ResolvedTimeline {
    static constexpr int32_t stillTimescale = 1000000;

    FrameGrid grid;
    int64_t frameCount = 0;
    std::vector<ResolvedSegment> segments;
    std::vector<ResolvedOverlay> overlays;
    std::optional<FrameRange> backgroundFrames;
    std::map<std::string, PTSTable, std::less<>> tables;

    ResolvedTimeline() = default;
    // Throws TimelineError.
    ResolvedTimeline(const RenderPlan& plan, std::map<std::string, PTSTable, std::less<>> tables,
                     const std::set<std::string, std::less<>>& stills);

    std::optional<int64_t> segmentIndex(int64_t atOutputFrame) const;
    int64_t sourceTicks(const ResolvedSegment& segment, int64_t atOutputFrame) const;
    // The source frame the composition draws for the frame's segment: the one
    // on screen in the middle of the source frame its clip maps to.
    std::optional<SourceFrameRef> sourceFrame(int64_t atOutputFrame) const;
    std::vector<ComposedRange> composedRanges(FrameRange window) const;

    bool operator==(const ResolvedTimeline&) const = default;
};

// Reuses composition tracks: a lane serves one asset in one role, one stretch
// after another.
struct TrackAllocator {
    struct Lane {
        std::string assetId;
        std::string role;
        int64_t endFrame = 0;
        bool operator==(const Lane&) const = default;
    };
    std::vector<Lane> lanes;

    int64_t place(const std::string& assetId, const std::string& role, int64_t firstFrame, int64_t endFrame);
    int64_t count() const { return static_cast<int64_t>(lanes.size()); }
};

} // namespace korvel
