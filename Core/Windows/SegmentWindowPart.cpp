#include "Core/Windows/SegmentWindowPart.hpp"

#include "Core/Timeline/WideMath.hpp"

#include <algorithm>
#include <cmath>

namespace korvel::SegmentWindows {

namespace {

using Wide = __int128;

// Window-relative times; widened so that clamping never wraps.
int64_t clamped(Wide x, Wide lo, Wide hi) { return static_cast<int64_t>(std::max(lo, std::min(x, hi))); }

const std::string& hashOf(const Sources& sources, const std::string& assetId) {
    auto it = sources.find(assetId);
    if (it == sources.end()) throw TimelineError::missingSource(assetId);
    return it->second.contentHash;
}

TransformKeyframe keyframe(int64_t outUs, const Transform::Sample& sample) { return {outUs, sample.center, sample.scale}; }

// The framing as seen from inside the window: sampled at both ends, with the
// keyframes strictly between them.
std::vector<TransformKeyframe> relative(const Transform& t, int64_t startUs, int64_t endUs) {
    std::vector<TransformKeyframe> out;
    out.push_back(keyframe(0, t.sampled(startUs)));
    for (const auto& k : t.keyframes) {
        if (startUs < k.outUs && k.outUs < endUs) out.push_back({k.outUs - startUs, k.center, k.scale});
    }
    out.push_back(keyframe(WideMath::narrow(Wide{endUs} - startUs), t.sampled(endUs)));
    return out;
}

} // namespace

void TransitionPart::encode(JSONWriter& out) const {
    out.write("style", style);
    out.write("frames", frames);
    out.write("startedFramesAgo", startedFramesAgo);
    out.write("outgoing", outgoing);
    out.write("tailStartTicks", tailStartTicks);
    out.write("tailEndTicks", tailEndTicks);
    out.write("transform", transform);
}

void OverlayPart::encode(JSONWriter& out) const {
    out.write("role", role);
    out.write("source", source);
    out.write("srcStartTicks", srcStartTicks);
    out.write("framesFromWindowStart", framesFromWindowStart);
    out.write("frames", frames);
    out.write("rect", rect);
    out.write("opacity", opacity);
    out.write("window", window);
    out.write("cornerRadiusPct", cornerRadiusPct);
    out.write("matteKey", matteKey);
}

void BackgroundPart::encode(JSONWriter& out) const {
    out.write("fill", fill);
    out.write("fillSource", fillSource);
    out.write("matteKey", matteKey);
    out.write("startFrame", startFrame);
    out.write("endFrame", endFrame);
}

void Part::encode(JSONWriter& out) const {
    out.write("engine", engine);
    out.write("quality", quality);
    out.write("variant", variant);
    out.write("width", width);
    out.write("height", height);
    out.write("fps", fps);
    out.write("frames", frames);
    out.write("source", source);
    out.write("srcStartTicks", srcStartTicks);
    out.write("timescale", int64_t{timescale});
    out.write("speed", speed);
    out.write("transform", transform);
    out.write("transition", transition);
    out.write("overlays", overlays);
    out.write("text", text);
    out.write("entrances", entrances);
    out.write("color", color);
    out.write("background", background);
}

std::string Part::canonicalText() const { return encoding(*this).canonical(); }

Part part(FrameRange frames, const ResolvedSegment& s, const RenderPlan& plan, const ResolvedTimeline& timeline,
          const Sources& sources, const Mattes& mattes, RenderVariant variant, std::string_view engineVersion) {
    const int64_t lower = frames.lowerBound, upper = frames.upperBound;
    const int64_t startUs = timeline.grid.us(lower), endUs = timeline.grid.us(upper);
    const Wide D = Wide{endUs} - startUs;
    const bool after = variant == RenderVariant::after;

    Part p;
    p.engine = std::string(engineVersion);
    p.quality = std::string(Part::previewQuality);
    p.variant = variant;
    p.width = plan.canvas.width;
    p.height = plan.canvas.height;
    p.fps = plan.canvas.fps;
    p.frames = WideMath::narrow(Wide{upper} - lower);

    if (after && s.transition && Wide{lower} < Wide{s.firstFrame} + s.transition->frames) {
        const ResolvedTransition& t = *s.transition;
        const ResolvedSegment& outgoing = timeline.segments.at(static_cast<size_t>(t.outgoingSegment));
        p.transition = TransitionPart{t.style, t.frames, WideMath::narrow(Wide{lower} - s.firstFrame),
                                      hashOf(sources, outgoing.assetId), t.tailStartTicks, t.tailEndTicks,
                                      relative(outgoing.transform, startUs, endUs)};
    }

    if (after) {
        for (const auto& o : timeline.overlays) {
            if (!(o.firstFrame < upper && lower < o.endFrame)) continue;
            OverlayPart op;
            op.role = o.role;
            op.source = hashOf(sources, o.assetId);
            if (o.srcTicks) {
                int64_t start = o.srcTicks->lowerBound;
                if (o.firstFrame < lower) {
                    double share = static_cast<double>(Wide{lower} - o.firstFrame) /
                                   static_cast<double>(Wide{o.endFrame} - o.firstFrame);
                    double ticks = std::trunc(share * static_cast<double>(Wide{o.srcTicks->upperBound} -
                                                                         o.srcTicks->lowerBound));
                    start = WideMath::sum(start, Microseconds::roundedToInt64(ticks));
                }
                op.srcStartTicks = start;
            }
            op.framesFromWindowStart = WideMath::narrow(std::max(Wide{0}, Wide{o.firstFrame} - lower));
            op.frames = WideMath::narrow(Wide{std::min(upper, o.endFrame)} - std::max(lower, o.firstFrame));
            op.rect = o.rect;
            op.opacity = o.opacity;
            op.window = o.window;
            op.cornerRadiusPct = o.cornerRadiusPct;
            op.matteKey = o.matteKey;
            p.overlays.push_back(std::move(op));
        }
    }

    for (const auto& item : plan.textItems) {
        if (!(item.outStartUs < endUs && startUs < item.outEndUs)) continue;
        const TextEntrance* entrance = nullptr;
        if (item.entrance && plan.textEntrances) {
            auto it = plan.textEntrances->find(*item.entrance);
            if (it != plan.textEntrances->end() && item.isArriving(startUs, it->second)) entrance = &it->second;
        }
        TextItem copy = item;
        copy.id = "";
        copy.entrance = entrance ? item.entrance : std::nullopt;
        Wide relStart = Wide{item.outStartUs} - startUs;
        copy.outStartUs = entrance ? WideMath::narrow(relStart) : clamped(relStart, 0, D);
        copy.outEndUs = clamped(Wide{item.outEndUs} - startUs, 0, D);
        for (auto& line : copy.lines) {
            for (auto& run : line.runs) {
                run.outStartUs = clamped(Wide{run.outStartUs} - startUs, 0, D);
                run.outEndUs = clamped(Wide{run.outEndUs} - startUs, 0, D);
                if (entrance && run.enterUs)
                    run.enterUs = clamped(Wide{*run.enterUs} - startUs, -Wide{entrance->durationUs}, D);
                else
                    run.enterUs.reset();
            }
        }
        if (entrance) {
            if (!p.entrances) p.entrances.emplace();
            p.entrances->insert_or_assign(*item.entrance, *entrance);
        }
        p.text.push_back(std::move(copy));
    }

    for (const auto& step : plan.colorStack) {
        if (step.outStartUs && !(*step.outStartUs < endUs)) continue;
        if (step.outEndUs && !(startUs < *step.outEndUs)) continue;
        ColorStep copy = step;
        copy.outStartUs = clamped(Wide{step.outStartUs.value_or(startUs)} - startUs, 0, D);
        copy.outEndUs = clamped(Wide{step.outEndUs.value_or(endUs)} - startUs, 0, D);
        p.color.push_back(std::move(copy));
    }

    if (plan.background && timeline.backgroundFrames) {
        const PlanBackground& bg = *plan.background;
        const FrameRange& bf = *timeline.backgroundFrames;
        bool overlaps = !bf.isEmpty() && lower < upper && bf.lowerBound < upper && lower < bf.upperBound;
        auto matte = mattes.find(bg.matteKey);
        bool ownMatte = matte == mattes.end() || matte->second.assetId == s.assetId;
        if (overlaps && ownMatte) {
            BackgroundPart bp;
            bp.fill = bg.fill;
            if (const auto* asset = bg.fill.asset()) bp.fillSource = hashOf(sources, asset->assetId);
            bp.matteKey = bg.matteKey;
            bp.startFrame = WideMath::narrow(std::max(Wide{0}, Wide{bf.lowerBound} - lower));
            bp.endFrame = WideMath::narrow(Wide{std::min(upper, bf.upperBound)} - lower);
            p.background = std::move(bp);
        }
    }

    p.source = hashOf(sources, s.assetId);
    p.srcStartTicks = timeline.sourceTicks(s, lower);
    p.timescale = s.timescale;
    p.speed = s.speed;
    if (after) p.transform = relative(s.transform, startUs, endUs);
    return p;
}

} // namespace korvel::SegmentWindows
