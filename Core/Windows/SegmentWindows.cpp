#include "Core/Windows/SegmentWindows.hpp"

#include "Core/Digest.hpp"
#include "Core/Jobs.hpp"
#include "Core/Timeline/WideMath.hpp"
#include "Core/Time.hpp"

#include <algorithm>
#include <cmath>

namespace korvel::SegmentWindows {

namespace {

using Wide = __int128;

bool isNeutral(const TransformKeyframe& k) { return k.scale == 1.0 && k.center.x == 0.5 && k.center.y == 0.5; }

// Nothing in the record but the source itself: the window may be copied.
bool isPlain(const Part& p) {
    return p.speed == 1.0 && !p.transition && p.overlays.empty() && p.text.empty() && !p.entrances &&
           p.color.empty() && !p.background && std::all_of(p.transform.begin(), p.transform.end(), isNeutral);
}

SegmentWindow window(FrameRange frames, const FrameGrid& grid, std::string fingerprint,
                     std::optional<CopyRange> copy = std::nullopt) {
    SegmentWindow w;
    w.key = Digest::sha256(fingerprint);
    w.firstFrame = frames.lowerBound;
    w.endFrame = frames.upperBound;
    w.outStartUs = grid.us(frames.lowerBound);
    w.outEndUs = grid.us(frames.upperBound);
    w.fingerprint = std::move(fingerprint);
    w.copy = std::move(copy);
    return w;
}

// The first sync tick at or after t − tol, when it lies within tol of t.
std::optional<int64_t> syncNear(const CopyableSource& source, int64_t t, int64_t tol) {
    Wide from = Wide{t} - tol;
    auto it = std::lower_bound(source.syncTicks.begin(), source.syncTicks.end(), from,
                               [](int64_t v, Wide x) { return v < x; });
    if (it == source.syncTicks.end()) return std::nullopt;
    Wide d = Wide{*it} - t;
    if ((d < 0 ? -d : d) > tol) return std::nullopt;
    return *it;
}

} // namespace

std::string copyFingerprint(std::string_view contentHash, int64_t srcStartTicks, int64_t srcEndTicks,
                            int32_t timescale, std::string_view engineVersion) {
    std::string text = "copy:";
    text += contentHash;
    text += ":" + std::to_string(srcStartTicks) + ":" + std::to_string(srcEndTicks) + ":" + std::to_string(timescale) +
            ":";
    text += engineVersion;
    return text;
}

std::vector<FrameRange> frameRanges(const ResolvedSegment& s, const FrameGrid& grid) {
    return frameRanges(s, grid, {s.firstFrame, s.endFrame});
}

std::vector<FrameRange> frameRanges(const ResolvedSegment& s, const FrameGrid& grid, FrameRange within) {
    // The timeline's reader refuses such speeds; without it the walk below
    // would never reach the segment's end.
    if (!(s.speed > 0) || !std::isfinite(s.speed)) throw TimeOverflow();
    const int64_t from = std::max(s.firstFrame, within.lowerBound), to = std::min(s.endFrame, within.upperBound);
    if (from >= to) return {};
    const int64_t srcStartUs = Microseconds::roundedToInt64(static_cast<double>(s.srcStartTicks) * 1000000.0 /
                                                           static_cast<double>(s.timescale));
    const Wide firstOff = (Wide{srcStartUs} / segmentUs + 1) * segmentUs;

    // The boundary reached after k more buckets of source time. It never
    // decreases with k; one beyond every representable time is past the end.
    auto boundary = [&](Wide k) -> int64_t {
        Wide span = firstOff + k * segmentUs - srcStartUs;
        if (span > INT64_MAX) return s.endFrame;
        double g = std::round(static_cast<double>(span) / s.speed);
        if (!(g < 9223372036854775808.0)) return s.endFrame;
        try {
            Wide b = Wide{s.firstFrame} + grid.frame(static_cast<int64_t>(g));
            return b >= s.endFrame ? s.endFrame : static_cast<int64_t>(b);
        } catch (const TimeOverflow&) {
            return s.endFrame;
        }
    };
    // The first bucket from k on whose boundary lies past `frame`. Buckets
    // that add no frame (a fast segment, or the part before `within`) are
    // skipped by galloping instead of walking them one by one.
    auto firstPast = [&](Wide k, int64_t frame) {
        if (boundary(k) > frame) return k;
        Wide step = 1;
        while (boundary(k + step) <= frame) step *= 2;
        Wide lo = k + step / 2 + (step == 1 ? 1 : 0), hi = k + step;
        while (lo < hi) {
            Wide mid = lo + (hi - lo) / 2;
            if (boundary(mid) > frame) hi = mid;
            else lo = mid + 1;
        }
        return lo;
    };

    // The window that holds `from` starts at the last boundary not after it.
    Wide k = 0;
    int64_t start = s.firstFrame;
    if (from > s.firstFrame) {
        k = firstPast(0, from);
        if (k > 0) start = std::max(start, boundary(k - 1));
    }
    std::vector<int64_t> bounds{std::max(start, from)};
    for (;;) {
        Task::checkCancellation();
        int64_t b = boundary(k);
        if (b >= to) {
            bounds.push_back(to);
            break;
        }
        if (b > bounds.back()) {
            bounds.push_back(b);
            ++k;
            continue;
        }
        k = firstPast(k, bounds.back());
    }
    std::vector<FrameRange> ranges;
    for (size_t i = 0; i + 1 < bounds.size(); ++i) ranges.push_back({bounds[i], bounds[i + 1]});
    return ranges;
}

std::vector<SegmentWindow> list(const RenderPlan& plan, const ResolvedTimeline& timeline, const Sources& sources,
                                const Mattes& mattes, RenderVariant variant, std::string_view engineVersion,
                                const Copyables& copyable) {
    const FrameGrid& grid = timeline.grid;

    std::vector<FrameRange> edited;
    if (!copyable.empty()) edited = CopyPlanner::framesEdited(plan, timeline, variant);

    // Windows past the plan's end, or before its start, don't exist.
    const FrameRange planFrames{0, std::max<int64_t>(0, timeline.frameCount)};
    std::vector<SegmentWindow> windows;
    for (const auto& s : timeline.segments) {
        const FrameRange shown{std::max(s.firstFrame, planFrames.lowerBound), std::min(s.endFrame, planFrames.upperBound)};
        if (shown.lowerBound >= shown.upperBound) continue;
        std::vector<FrameRange> copied;
        auto source = copyable.find(s.assetId);
        auto named = sources.find(s.assetId);
        if (source != copyable.end() && named != sources.end() && s.speed == 1.0 &&
            s.timescale == source->second.timescale) {
            std::vector<FrameRange> edits = edited;
            if (s.transition) edits.push_back({s.firstFrame, s.firstFrame + s.transition->frames});
            auto framing = CopyPlanner::framing(s, grid);
            edits.insert(edits.end(), framing.begin(), framing.end());
            auto free = CopyPlanner::subtract(CopyPlanner::merged(std::move(edits)), {shown});
            for (const auto& range : free) {
                for (const auto& run : CopyPlanner::split(range, s, source->second, grid)) {
                    Task::checkCancellation();
                    Part record = part(run.frames, s, plan, timeline, sources, mattes, variant, engineVersion);
                    if (!isPlain(record)) continue;
                    CopyRange copy{s.assetId, run.ticks.lowerBound, run.ticks.upperBound};
                    windows.push_back(window(run.frames, grid,
                                             copyFingerprint(named->second.contentHash, run.ticks.lowerBound,
                                                             run.ticks.upperBound, s.timescale, engineVersion),
                                             std::move(copy)));
                    copied.push_back(run.frames);
                }
            }
        }
        for (const auto& range : CopyPlanner::subtract(copied, frameRanges(s, grid, shown))) {
            Task::checkCancellation();
            Part record = part(range, s, plan, timeline, sources, mattes, variant, engineVersion);
            windows.push_back(window(range, grid, record.canonicalText()));
        }
    }
    std::stable_sort(windows.begin(), windows.end(),
                     [](const SegmentWindow& a, const SegmentWindow& b) { return a.firstFrame < b.firstFrame; });
    return windows;
}

std::optional<CopyRange> copyRange(FrameRange w, std::string_view key, const ResolvedTimeline& timeline,
                                   const Sources& sources, const Copyables& copyable,
                                   std::string_view engineVersion) noexcept {
    try {
        auto index = timeline.segmentIndex(w.lowerBound);
        if (!index) return std::nullopt;
        const ResolvedSegment& s = timeline.segments[*index];
        auto source = copyable.find(s.assetId);
        auto named = sources.find(s.assetId);
        if (s.endFrame < w.upperBound || source == copyable.end() || named == sources.end()) return std::nullopt;
        const CopyableSource& c = source->second;

        int64_t tol = CopyPlanner::toleranceTicks(c, timeline.grid);
        auto start = syncNear(c, timeline.sourceTicks(s, w.lowerBound), tol);
        if (!start) return std::nullopt;
        std::optional<int64_t> end;
        if (w.upperBound == s.endFrame && s.srcEndTicks == c.endTicks) {
            if (!CopyPlanner::picturesCover(s, c.endTicks, timeline.grid)) return std::nullopt;
            end = c.endTicks;
        } else {
            end = syncNear(c, timeline.sourceTicks(s, w.upperBound), CopyPlanner::toleranceTicks(c, timeline.grid));
        }
        if (!end || !(*start < *end)) return std::nullopt;

        auto text = copyFingerprint(named->second.contentHash, *start, *end, s.timescale, engineVersion);
        if (Digest::sha256(text) != key) return std::nullopt;
        return CopyRange{s.assetId, *start, *end};
    } catch (...) {
        // Whatever cannot be worked out is rendered instead.
        return std::nullopt;
    }
}

std::string fingerprint(FrameRange w, const RenderPlan& plan, const ResolvedTimeline& timeline, const Sources& sources,
                        const Mattes& mattes, RenderVariant variant, std::string_view engineVersion) {
    auto index = timeline.segmentIndex(w.lowerBound);
    if (!index) {
        return "gap:" + std::to_string(WideMath::narrow(Wide{w.upperBound} - w.lowerBound)) + ":" +
               std::string(engineVersion);
    }
    return part(w, timeline.segments[*index], plan, timeline, sources, mattes, variant, engineVersion).canonicalText();
}

} // namespace korvel::SegmentWindows
