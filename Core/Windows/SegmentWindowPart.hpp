#pragma once

#include "Core/Wire/EngineSource.hpp"
#include "Core/Timeline/FrameRange.hpp"
#include "Core/Plan/RenderPlan.hpp"
#include "Core/Timeline/ResolvedTimeline.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvel::SegmentWindows {

using Sources = std::map<std::string, EngineSource>;
using Mattes = std::map<std::string, MatteRef>;

// Everything that decides a render window's pictures, relative to the window,
// with sources named by content hash. Its canonical JSON is the fingerprint.
struct TransitionPart {
    TransitionStyle style = TransitionStyle::smooth;
    int64_t frames = 0;
    int64_t startedFramesAgo = 0;
    std::string outgoing;
    int64_t tailStartTicks = 0;
    int64_t tailEndTicks = 0;
    std::vector<TransformKeyframe> transform;

    bool operator==(const TransitionPart&) const = default;
    void encode(JSONWriter& out) const;
};

struct OverlayPart {
    VideoOverlayRole role = VideoOverlayRole::layout;
    std::string source;
    std::optional<int64_t> srcStartTicks;
    int64_t framesFromWindowStart = 0;
    int64_t frames = 0;
    NormalizedRect rect;
    double opacity = 0;
    std::optional<NormalizedRect> window;
    std::optional<double> cornerRadiusPct;
    std::optional<std::string> matteKey;

    bool operator==(const OverlayPart&) const = default;
    void encode(JSONWriter& out) const;
};

struct BackgroundPart {
    BackgroundFill fill;
    std::optional<std::string> fillSource;
    std::string matteKey;
    int64_t startFrame = 0;
    int64_t endFrame = 0;

    bool operator==(const BackgroundPart&) const = default;
    void encode(JSONWriter& out) const;
};

struct Part {
    static constexpr std::string_view previewQuality = "preview_1620_h264_16mbps";

    std::string engine;
    std::string quality;
    RenderVariant variant = RenderVariant::after;
    int64_t width = 0;
    int64_t height = 0;
    FrameRate fps;
    int64_t frames = 0;
    std::string source;
    int64_t srcStartTicks = 0;
    int32_t timescale = 0;
    double speed = 1;
    std::vector<TransformKeyframe> transform;
    std::optional<TransitionPart> transition;
    std::vector<OverlayPart> overlays;
    std::vector<TextItem> text;
    std::optional<std::map<std::string, TextEntrance>> entrances;
    std::vector<ColorStep> color;
    std::optional<BackgroundPart> background;

    bool operator==(const Part&) const = default;
    void encode(JSONWriter& out) const;
    // Sorted keys, unescaped slashes: the text that is hashed.
    std::string canonicalText() const;
};

// The record of frames lower ..< upper inside one resolved segment, from the
// plan already resolved for the variant. Throws TimelineError::missingSource
// for the first source it needs and lacks: the outgoing segment's, each
// overlay's, the background fill's, then the segment's own.
Part part(FrameRange frames, const ResolvedSegment& segment, const RenderPlan& resolvedPlan,
          const ResolvedTimeline& timeline, const Sources& sources, const Mattes& mattes, RenderVariant variant,
          std::string_view engineVersion);

} // namespace korvel::SegmentWindows
