#include "Core/Windows/CopyPlanner.hpp"

#include "Core/Timeline/WideMath.hpp"
#include "Core/Time.hpp"

#include <algorithm>
#include <cmath>

namespace korvel::CopyPlanner {

namespace {

using Microseconds::roundedToInt64;

bool isIdentity(const TransformKeyframe& k) { return k.scale == 1.0 && k.center.x == 0.5 && k.center.y == 0.5; }

// Frames of a text item or bounded step: its first frame up to the frame that
// holds its last microsecond.
int64_t lastFrameAfter(const FrameGrid& grid, int64_t outEndUs) {
    return WideMath::sum(grid.frameContaining(std::max<int64_t>(WideMath::sum(outEndUs, -1), 0)), 1);
}

__int128 bytesBetween(const CopyableSource& source, size_t from, size_t to) {
    return static_cast<__int128>(source.bytesBefore[to]) - source.bytesBefore[from];
}

} // namespace

std::vector<FrameRange> framesEdited(const RenderPlan& plan, const ResolvedTimeline& timeline, RenderVariant variant) {
    const FrameGrid& grid = timeline.grid;
    std::vector<FrameRange> ranges;
    for (const auto& item : plan.textItems) {
        int64_t start = grid.frameContaining(item.outStartUs);
        ranges.push_back({start, std::max(lastFrameAfter(grid, item.outEndUs), start)});
    }
    for (const auto& step : plan.colorStack) {
        int64_t start = step.outStartUs ? grid.frameContaining(*step.outStartUs) : 0;
        int64_t end = step.outEndUs ? lastFrameAfter(grid, *step.outEndUs) : timeline.frameCount;
        ranges.push_back({start, std::max(end, start)});
    }
    if (variant == RenderVariant::after) {
        for (const auto& o : timeline.overlays) ranges.push_back({o.firstFrame, o.endFrame});
        if (plan.background && timeline.backgroundFrames) ranges.push_back(*timeline.backgroundFrames);
    }
    return merged(std::move(ranges));
}

std::vector<FrameRange> framing(const ResolvedSegment& segment, const FrameGrid& grid) {
    const auto& keys = segment.transform.keyframes;
    std::vector<FrameRange> ranges;
    if (std::all_of(keys.begin(), keys.end(), isIdentity)) return ranges;
    auto frameOf = [&](const TransformKeyframe& k) { return grid.frameContaining(k.outUs); };
    // Keyframes outside the segment give reversed ranges; merging drops them.
    if (!isIdentity(keys.front())) ranges.push_back({segment.firstFrame, WideMath::sum(frameOf(keys.front()), 1)});
    for (size_t i = 0; i + 1 < keys.size(); ++i) {
        if (!isIdentity(keys[i]) || !isIdentity(keys[i + 1]))
            ranges.push_back({frameOf(keys[i]), WideMath::sum(frameOf(keys[i + 1]), 1)});
    }
    if (!isIdentity(keys.back())) ranges.push_back({frameOf(keys.back()), segment.endFrame});
    return ranges;
}

std::vector<FrameRange> merged(std::vector<FrameRange> ranges) {
    std::erase_if(ranges, [](const FrameRange& r) { return r.isEmpty(); });
    std::stable_sort(ranges.begin(), ranges.end(),
                     [](const FrameRange& a, const FrameRange& b) { return a.lowerBound < b.lowerBound; });
    std::vector<FrameRange> out;
    for (const auto& r : ranges) {
        if (!out.empty() && r.lowerBound <= out.back().upperBound) {
            out.back().upperBound = std::max(out.back().upperBound, r.upperBound);
        } else {
            out.push_back(r);
        }
    }
    return out;
}

std::vector<FrameRange> subtract(const std::vector<FrameRange>& cuts, const std::vector<FrameRange>& ranges) {
    std::vector<FrameRange> out;
    for (const auto& r : ranges) {
        int64_t c = r.lowerBound;
        // Cuts are sorted: skip those that end before this range.
        auto it = std::lower_bound(cuts.begin(), cuts.end(), r.lowerBound,
                                   [](const FrameRange& cut, int64_t v) { return cut.upperBound <= v; });
        for (; it != cuts.end() && it->lowerBound < r.upperBound; ++it) {
            if (!(r.lowerBound < it->upperBound && it->lowerBound < r.upperBound)) continue;
            if (c < it->lowerBound) out.push_back({c, it->lowerBound});
            c = std::max(c, it->upperBound);
        }
        if (c < r.upperBound) out.push_back({c, r.upperBound});
    }
    return out;
}

bool picturesCover(const ResolvedSegment& s, int64_t sourceEndTicks, const FrameGrid& grid) {
    if (s.timescale <= 0 || grid.timescale <= 0) return false;
    // The segment's own length at its speed of one, exact in 128 bits.
    const __int128 shown = static_cast<__int128>(s.endFrame - s.firstFrame) * grid.ticksPerFrame * s.timescale / grid.timescale;
    const int64_t halfFrame = roundedToInt64(std::trunc((grid.frameDurationSeconds() * 0.5) * s.timescale));
    return s.srcStartTicks + shown <= static_cast<__int128>(sourceEndTicks) + halfFrame;
}

int64_t toleranceTicks(const CopyableSource& source, const FrameGrid& grid) {
    return roundedToInt64((static_cast<double>(grid.ticksPerFrame) / static_cast<double>(grid.timescale)) * 0.25 *
                          static_cast<double>(source.timescale));
}

std::vector<Run> split(FrameRange free, const ResolvedSegment& s, const CopyableSource& source, const FrameGrid& grid) {
    std::vector<Run> runs;
    const auto& sync = source.syncTicks;
    if (sync.empty() || source.bytesBefore.size() != sync.size() || s.timescale <= 0 || source.timescale <= 0)
        return runs;
    const double W = grid.frameDurationSeconds();
    const int64_t a = free.lowerBound, b = free.upperBound;
    const bool reachesEnd = b == s.endFrame && s.srcEndTicks == source.endTicks && picturesCover(s, source.endTicks, grid);

    int64_t startTicks = WideMath::sum(
        s.srcStartTicks, roundedToInt64((W * static_cast<double>(static_cast<__int128>(a) - s.firstFrame)) * s.timescale));
    int64_t tol = roundedToInt64((W * 0.25) * source.timescale);
    __int128 from = static_cast<__int128>(startTicks) - tol;
    size_t first = static_cast<size_t>(
        std::lower_bound(sync.begin(), sync.end(), from, [](int64_t v, __int128 t) { return v < t; }) - sync.begin());

    struct Candidate {
        int64_t frame, ticks;
        size_t index;
    };
    std::vector<Candidate> candidates;
    for (size_t i = first; i < sync.size(); ++i) {
        int64_t u = sync[i];
        double v = static_cast<double>(static_cast<__int128>(u) - s.srcStartTicks) / static_cast<double>(s.timescale) / W;
        double w = std::round(v);
        int64_t F = WideMath::sum(s.firstFrame, roundedToInt64(w));
        if (F > b) break;
        if (F >= a && std::fabs(v - w) <= 0.25) candidates.push_back({F, u, i});
    }
    if (candidates.empty()) return runs;

    const int64_t bucket = 2 * static_cast<int64_t>(source.timescale);
    Candidate start = candidates.front();
    for (size_t k = 1; k < candidates.size(); ++k) {
        const Candidate& c = candidates[k];
        if (c.index != 0 && c.ticks / bucket == sync[c.index - 1] / bucket) continue;
        if (start.frame < c.frame && bytesBetween(source, start.index, c.index) <= SegmentWindows::copyMaxBytes)
            runs.push_back({{start.frame, c.frame}, {start.ticks, c.ticks}});
        start = c;
    }
    if (reachesEnd) {
        __int128 bytes = static_cast<__int128>(source.totalBytes) - source.bytesBefore[start.index];
        if (start.frame < b && bytes <= SegmentWindows::copyMaxBytes)
            runs.push_back({{start.frame, b}, {start.ticks, source.endTicks}});
    } else {
        const Candidate& last = candidates.back();
        if (start.frame < last.frame && bytesBetween(source, start.index, last.index) <= SegmentWindows::copyMaxBytes)
            runs.push_back({{start.frame, last.frame}, {start.ticks, last.ticks}});
    }
    return runs;
}

} // namespace korvel::CopyPlanner
