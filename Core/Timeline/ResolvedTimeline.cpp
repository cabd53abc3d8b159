#include "Core/Timeline/ResolvedTimeline.hpp"

#include "Core/Wire/Contract.hpp"
#include "Core/Timeline/TimedInsert.hpp"
#include "Core/Timeline/WideMath.hpp"
#include "Core/Time.hpp"

#include <algorithm>

namespace korvel {

namespace {

using Microseconds::roundedToInt64;
using WideMath::sum;

int64_t snap(const PTSTable& table, int64_t ticks) { return table.pts[table.nearestIndex(ticks)]; }

__int128 distance(int64_t a, int64_t b) {
    __int128 d = static_cast<__int128>(a) - b;
    return d < 0 ? -d : d;
}

// The end of a source stretch: snapped to a real frame when one lies within a
// quarter of an output frame, the exact tick otherwise, the source end when
// the stretch runs past it.
int64_t stretchEnd(const PTSTable& table, int64_t t, double frameSeconds) {
    if (t >= table.endTicks) return table.endTicks;
    int64_t c = snap(table, t);
    int64_t quarter = roundedToInt64((frameSeconds * 0.25) * table.timescale);
    return distance(c, t) <= quarter ? c : t;
}

const PTSTable& nonEmptyTable(const std::map<std::string, PTSTable, std::less<>>& tables, const std::string& id) {
    auto it = tables.find(id);
    if (it == tables.end()) throw TimelineError::missingSource(id);
    if (it->second.pts.empty()) throw TimelineError::emptySource(id);
    return it->second;
}

// Arithmetic that leaves 64 bits is the fault of one plan value: the client
// hears which, as it would for a value that does not read.
template <class F> auto naming(std::vector<std::string> path, const std::string& found, F&& f) {
    try {
        return f();
    } catch (const TimeOverflow&) {
        throw outOfRange(std::move(path), found);
    }
}

std::vector<std::string> at(const char* list, size_t index, const char* key) {
    return {"plan", list, positionKey(index), key};
}

// A source stretch is the output span times the speed: a fast segment names
// its speed, a slow one the end of its span.
std::vector<std::string> stretchKey(const Segment& s, size_t index) {
    return at("segments", index, s.speed > 1 ? "speed" : "outEndUs");
}
std::string stretchFound(const Segment& s) { return s.speed > 1 ? numberText(s.speed) : std::to_string(s.outEndUs); }

} // namespace

ResolvedTimeline::ResolvedTimeline(const RenderPlan& plan, std::map<std::string, PTSTable, std::less<>> sourceTables,
                                   const std::set<std::string, std::less<>>& stills)
    : grid(naming({"plan", "canvas", "fps"}, std::to_string(plan.canvas.fps.num) + "/" + std::to_string(plan.canvas.fps.den),
                  [&] { return FrameGrid(plan.canvas.fps); })),
      tables(std::move(sourceTables)) {
    const double W = grid.frameDurationSeconds();
    frameCount = naming({"plan", "durationUs"}, std::to_string(plan.durationUs), [&] { return grid.frame(plan.durationUs); });

    for (size_t i = 0; i < plan.segments.size(); ++i) {
        const Segment& s = plan.segments[i];
        int64_t first = grid.frame(s.outStartUs), end = grid.frame(s.outEndUs);
        if (first >= end) continue;
        ResolvedSegment r;
        r.planIndex = static_cast<int64_t>(i);
        r.assetId = s.assetId;
        r.firstFrame = first;
        r.endFrame = end;
        r.speed = s.speed;
        r.transform = s.transform;
        const int64_t count = naming(at("segments", i, "outEndUs"), std::to_string(s.outEndUs),
                                     [&] { return WideMath::narrow(static_cast<__int128>(end) - first); });
        const double frames = static_cast<double>(count);

        if (s.transitionIn && !segments.empty() && segments.back().endFrame == first) {
            const ResolvedSegment& p = segments.back();
            int64_t n = std::min(count, grid.frame(s.transitionIn->durationUs));
            if (n >= 1) {
                ResolvedTransition t;
                t.style = s.transitionIn->style;
                t.frames = n;
                t.outgoingSegment = static_cast<int64_t>(segments.size() - 1);
                if (p.still) {
                    t.tailStartTicks = t.tailEndTicks = p.srcEndTicks;
                    r.transition = t;
                } else if (auto it = tables.find(p.assetId); it != tables.end() && !it->second.pts.empty()) {
                    const PTSTable& table = it->second;
                    const size_t outgoing = static_cast<size_t>(p.planIndex);
                    const Segment& left = plan.segments[outgoing];
                    int64_t tailEnd = naming(stretchKey(left, outgoing), stretchFound(left), [&] {
                        int64_t len = roundedToInt64(((W * static_cast<double>(n)) * p.speed) * table.timescale);
                        return std::min(table.endTicks, sum(p.srcEndTicks, len));
                    });
                    __int128 lastFrame = static_cast<__int128>(table.endTicks) - table.pts.back();
                    if (static_cast<__int128>(tailEnd) - p.srcEndTicks < lastFrame) {
                        t.tailStartTicks = table.pts.back();
                        t.tailEndTicks = table.endTicks;
                    } else {
                        t.tailStartTicks = p.srcEndTicks;
                        t.tailEndTicks = tailEnd;
                    }
                    t.sampleOffsetTicks = table.middleOfFrameTicks();
                    r.transition = t;
                }
            }
        }

        if (stills.count(s.assetId)) {
            r.still = true;
            r.srcStartTicks = s.srcStartUs;
            int64_t len = naming(stretchKey(s, i), stretchFound(s),
                                 [&] { return roundedToInt64(((W * frames) * s.speed) * 1000000.0); });
            r.srcEndTicks = naming(at("segments", i, "srcStartUs"), std::to_string(s.srcStartUs),
                                   [&] { return sum(s.srcStartUs, len); });
            r.timescale = stillTimescale;
            r.sampleOffsetTicks = 0;
        } else {
            const PTSTable& table = nonEmptyTable(tables, s.assetId);
            r.srcStartTicks = naming(at("segments", i, "srcStartUs"), std::to_string(s.srcStartUs),
                                     [&] { return snap(table, table.ticks(s.srcStartUs)); });
            int64_t len = naming(stretchKey(s, i), stretchFound(s),
                                 [&] { return roundedToInt64(((W * frames) * s.speed) * table.timescale); });
            r.srcEndTicks = naming(stretchKey(s, i), stretchFound(s), [&] {
                return stretchEnd(table, sum(r.srcStartTicks, len), W);
            });
            r.timescale = table.timescale;
            r.sampleOffsetTicks = table.middleOfFrameTicks();
        }
        segments.push_back(std::move(r));
    }

    for (size_t j = 0; j < plan.videoOverlays.size(); ++j) {
        const VideoOverlay& o = plan.videoOverlays[j];
        int64_t first = grid.frame(o.outStartUs), end = grid.frame(o.outEndUs);
        if (first >= end) continue;
        const int64_t count = naming(at("videoOverlays", j, "outEndUs"), std::to_string(o.outEndUs),
                                     [&] { return WideMath::narrow(static_cast<__int128>(end) - first); });
        ResolvedOverlay r;
        r.planIndex = static_cast<int64_t>(j);
        r.assetId = o.assetId;
        r.role = o.role;
        r.firstFrame = first;
        r.endFrame = end;
        if (stills.count(o.assetId)) {
            r.timescale = 1;
        } else {
            const PTSTable& table = nonEmptyTable(tables, o.assetId);
            int64_t start = naming(at("videoOverlays", j, "srcStartUs"), std::to_string(o.srcStartUs),
                                   [&] { return snap(table, table.ticks(o.srcStartUs)); });
            r.srcTicks = naming(at("videoOverlays", j, "srcEndUs"), std::to_string(o.srcEndUs), [&] {
                double ratio = static_cast<double>(static_cast<__int128>(o.srcEndUs) - o.srcStartUs) /
                               static_cast<double>(static_cast<__int128>(o.outEndUs) - o.outStartUs);
                int64_t len = roundedToInt64(((W * static_cast<double>(count)) * ratio) * table.timescale);
                int64_t stop = stretchEnd(table, sum(start, len), W);
                return TickRange{start, std::max(stop, sum(start, 1))};
            });
            r.timescale = table.timescale;
            r.sampleOffsetTicks = table.middleOfFrameTicks();
        }
        r.rect = o.rect;
        r.opacity = o.opacity;
        r.window = o.window;
        r.cornerRadiusPct = o.cornerRadiusPct;
        r.matteKey = o.matteKey;
        overlays.push_back(std::move(r));
    }

    if (plan.background) {
        int64_t a = grid.frame(plan.background->outStartUs), b = grid.frame(plan.background->outEndUs);
        if (a < b) backgroundFrames = FrameRange{a, b};
    }
}

std::optional<int64_t> ResolvedTimeline::segmentIndex(int64_t f) const {
    for (size_t i = 0; i < segments.size(); ++i)
        if (segments[i].firstFrame <= f && f < segments[i].endFrame) return static_cast<int64_t>(i);
    return std::nullopt;
}

int64_t ResolvedTimeline::sourceTicks(const ResolvedSegment& s, int64_t f) const {
    double offset = grid.frameDurationSeconds() * static_cast<double>(static_cast<__int128>(f) - s.firstFrame);
    return sum(s.srcStartTicks, roundedToInt64((offset * s.speed) * s.timescale));
}

std::optional<SourceFrameRef> ResolvedTimeline::sourceFrame(int64_t f) const {
    auto index = segmentIndex(f);
    if (!index) return std::nullopt;
    const ResolvedSegment& s = segments[*index];
    auto it = tables.find(s.assetId);
    if (it == tables.end() || it->second.pts.empty()) return std::nullopt;
    const PTSTable& table = it->second;
    // The frame the composition draws: the clip's insert, shifted by half a
    // source frame, mapped the same way the compositor maps it.
    auto clip = TimedInsert::make(grid, s.timescale, table.endTicks, table.timescale,
                                  sum(s.srcStartTicks, s.sampleOffsetTicks), sum(s.srcEndTicks, s.sampleOffsetTicks),
                                  s.firstFrame, s.endFrame - s.firstFrame, s.speed == 1.0);
    if (!clip) return std::nullopt;
    auto ticks = clip->sourceTicks(WideMath::narrow(WideMath::mul(f, grid.ticksPerFrame)));
    if (!ticks) return std::nullopt;
    return SourceFrameRef{s.assetId, table.pts[static_cast<size_t>(table.indexOnScreen(*ticks))], table.timescale};
}

std::vector<ComposedRange> ResolvedTimeline::composedRanges(FrameRange window) const {
    std::vector<ComposedRange> ranges;
    if (window.isEmpty()) return ranges;
    std::vector<int64_t> cuts{window.lowerBound, window.upperBound};
    auto cut = [&](int64_t point) {
        if (window.lowerBound <= point && point < window.upperBound) cuts.push_back(point);
    };
    for (const auto& s : segments) {
        cut(s.firstFrame);
        cut(s.endFrame);
        if (s.transition) cut(s.firstFrame + s.transition->frames);
    }
    for (const auto& o : overlays) {
        cut(o.firstFrame);
        cut(o.endFrame);
    }
    if (backgroundFrames) {
        cut(backgroundFrames->lowerBound);
        cut(backgroundFrames->upperBound);
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    for (size_t k = 0; k + 1 < cuts.size(); ++k) {
        int64_t a = cuts[k];
        ComposedRange r;
        r.frames = {a, cuts[k + 1]};
        r.segment = segmentIndex(a);
        if (r.segment) {
            const auto& s = segments[*r.segment];
            r.transitioning = s.transition && a < s.firstFrame + s.transition->frames;
        }
        for (size_t i = 0; i < overlays.size(); ++i)
            if (overlays[i].firstFrame <= a && a < overlays[i].endFrame) r.overlays.push_back(static_cast<int64_t>(i));
        r.background = backgroundFrames && backgroundFrames->contains(a);
        ranges.push_back(std::move(r));
    }
    return ranges;
}

int64_t TrackAllocator::place(const std::string& assetId, const std::string& role, int64_t firstFrame,
                              int64_t endFrame) {
    for (size_t i = 0; i < lanes.size(); ++i) {
        Lane& lane = lanes[i];
        if (lane.assetId == assetId && lane.role == role && lane.endFrame <= firstFrame) {
            lane.endFrame = endFrame;
            return static_cast<int64_t>(i);
        }
    }
    lanes.push_back({assetId, role, endFrame});
    return static_cast<int64_t>(lanes.size() - 1);
}

} // namespace korvel
