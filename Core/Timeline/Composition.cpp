#include "Core/Timeline/Composition.hpp"

#include "Core/ClientText.hpp"
#include "Core/Jobs.hpp"
#include "Core/Timeline/TimedInsert.hpp"
#include "Core/Timeline/WideMath.hpp"
#include "Core/Time.hpp"

#include <algorithm>
#include <cmath>
#include <map>

namespace korvel {

int64_t Composition::durationTicks() const { return WideMath::narrow(WideMath::mul(frameCount, grid.ticksPerFrame)); }

const CompositionTrack* Composition::track(int32_t id) const {
    for (const auto& t : tracks)
        if (t.trackId == id) return &t;
    return nullptr;
}

std::optional<TrackTime> Composition::sourceTime(int32_t trackId, int64_t outTicks) const {
    const CompositionTrack* t = track(trackId);
    if (!t) return std::nullopt;
    for (const auto& e : t->edits) {
        if (outTicks < e.outStart || outTicks - e.outStart >= e.outDuration) continue;
        if (!e.source) return std::nullopt;
        auto ticks = TimedInsert{e.outStart, e.outDuration, e.sourceStart, e.sourceDuration}.sourceTicks(outTicks);
        if (!ticks) return std::nullopt;
        return TrackTime{*e.source, *ticks, e.sourceTimescale};
    }
    return std::nullopt;
}

const GraphInstruction* Composition::instruction(int64_t frame) const {
    for (const auto& i : instructions)
        if (i.range.frames.contains(frame)) return &i;
    return nullptr;
}

namespace {

using Video = CompositionFacts::Video;

struct Builder {
    const ResolvedTimeline& timeline;
    const CompositionFacts& facts;
    Composition out;
    TrackAllocator lanes;
    std::map<int64_t, size_t> trackOfLane;

    int64_t tpf() const { return timeline.grid.ticksPerFrame; }

    int32_t place(const std::string& assetId, const std::string& role, int64_t firstFrame, int64_t endFrame) {
        int64_t lane = lanes.place(assetId, role, firstFrame, endFrame);
        if (lane + 1 > INT32_MAX) throw EngineFailure::internalError("The composition could not add a track.");
        auto id = static_cast<int32_t>(lane + 1);
        if (!trackOfLane.count(lane)) {
            trackOfLane[lane] = out.tracks.size();
            out.tracks.push_back({id, {}});
        }
        return id;
    }

    CompositionTrack& trackWith(int32_t id) { return out.tracks[trackOfLane.at(id - 1)]; }

    // Lays source ticks [s, e) at timescale t over output frames f ..< f + n.
    void insert(int32_t id, const CompositionSource& source, const Video& video, int32_t t, int64_t s, int64_t e,
                int64_t f, int64_t n, std::optional<double> unscaledSpeed) {
        bool unscaled = unscaledSpeed && *unscaledSpeed == 1.0;
        auto piece = TimedInsert::make(timeline.grid, t, video.endTicks, video.timescale, s, e, f, n, unscaled);
        if (!piece) return;
        trackWith(id).edits.push_back({source, piece->outStart, piece->outDuration, piece->sourceStart,
                                       piece->sourceDuration, t});
    }

    const Video& videoOf(const std::string& assetId) const {
        auto v = facts.videos.find(assetId);
        if (v == facts.videos.end()) {
            throw EngineFailure::invalidParams("The render needs a source for asset " + ClientText::quoted(assetId) + ".");
        }
        return v->second;
    }

    bool backgroundOverlaps(int64_t a, int64_t b) const {
        const auto& bg = timeline.backgroundFrames;
        return bg && bg->lowerBound < b && a < bg->upperBound && a < b;
    }

    void segments(const std::optional<FrameRange>& window) {
        const auto& segs = timeline.segments;
        for (size_t i = 0; i < segs.size(); ++i) {
            const auto& seg = segs[i];
            auto idx = static_cast<int64_t>(i);
            if (window && !(seg.firstFrame < window->upperBound && window->lowerBound < seg.endFrame &&
                            !window->isEmpty() && seg.firstFrame < seg.endFrame)) {
                continue;
            }
            int64_t n = seg.endFrame - seg.firstFrame;
            int64_t s = WideMath::sum(seg.srcStartTicks, seg.sampleOffsetTicks);
            int64_t e = WideMath::sum(seg.srcEndTicks, seg.sampleOffsetTicks);
            if (!seg.still) {
                const Video& v = videoOf(seg.assetId);
                int32_t id = place(seg.assetId, "clip", seg.firstFrame, seg.endFrame);
                out.layers.clips[idx] = id;
                insert(id, {CompositionSource::Kind::asset, seg.assetId}, v, seg.timescale, s, e, seg.firstFrame, n,
                       seg.speed);
            }
            if (seg.transition && seg.transition->style != TransitionStyle::flash) {
                const auto& tr = *seg.transition;
                const auto& outgoing = segs.at(static_cast<size_t>(tr.outgoingSegment));
                if (!outgoing.still) {
                    const Video& v = videoOf(outgoing.assetId);
                    int64_t tailEnd = seg.firstFrame + tr.frames;
                    int32_t id = place(outgoing.assetId, "tail", seg.firstFrame, tailEnd);
                    out.layers.tails[idx] = id;
                    int64_t ts = WideMath::sum(tr.tailStartTicks, tr.sampleOffsetTicks);
                    int64_t te = WideMath::sum(tr.tailEndTicks, tr.sampleOffsetTicks);
                    insert(id, {CompositionSource::Kind::asset, outgoing.assetId}, v, outgoing.timescale, ts, te,
                           seg.firstFrame, tr.frames, std::nullopt);
                    if (facts.matte && facts.matteAssetId == outgoing.assetId && backgroundOverlaps(seg.firstFrame, tailEnd)) {
                        int32_t mid = place("matte", "maskTail", seg.firstFrame, tailEnd);
                        out.layers.maskTails[idx] = mid;
                        insert(mid, {CompositionSource::Kind::matte, ""}, *facts.matte, outgoing.timescale, ts, te,
                               seg.firstFrame, tr.frames, std::nullopt);
                    }
                }
            }
            if (facts.matte && facts.matteAssetId == seg.assetId && backgroundOverlaps(seg.firstFrame, seg.endFrame)) {
                int32_t id = place("matte", "mask", seg.firstFrame, seg.endFrame);
                out.layers.masks[idx] = id;
                insert(id, {CompositionSource::Kind::matte, ""}, *facts.matte, seg.timescale, s, e, seg.firstFrame,
                       n, seg.speed);
            }
        }
    }

    void overlays(const std::optional<FrameRange>& window) {
        const auto& ovs = timeline.overlays;
        for (size_t j = 0; j < ovs.size(); ++j) {
            const auto& ov = ovs[j];
            if (window && !(ov.firstFrame < window->upperBound && window->lowerBound < ov.endFrame &&
                            !window->isEmpty() && ov.firstFrame < ov.endFrame)) {
                continue;
            }
            if (!ov.srcTicks) continue;
            auto idx = static_cast<int64_t>(j);
            const Video& v = videoOf(ov.assetId);
            int32_t id = place(ov.assetId, "overlay", ov.firstFrame, ov.endFrame);
            out.layers.overlays[idx] = id;
            int64_t s = WideMath::sum(ov.srcTicks->lowerBound, ov.sampleOffsetTicks);
            int64_t e = WideMath::sum(ov.srcTicks->upperBound, ov.sampleOffsetTicks);
            int64_t n = ov.endFrame - ov.firstFrame;
            insert(id, {CompositionSource::Kind::asset, ov.assetId}, v, ov.timescale, s, e, ov.firstFrame, n,
                   std::nullopt);
            if (!ov.matteKey) continue;
            auto m = facts.overlayMattes.find(*ov.matteKey);
            if (m == facts.overlayMattes.end()) continue;
            int32_t mid = place("matte:" + *ov.matteKey, "overlayMask", ov.firstFrame, ov.endFrame);
            out.layers.overlayMasks[idx] = mid;
            insert(mid, {CompositionSource::Kind::overlayMatte, *ov.matteKey}, m->second, ov.timescale, s, e,
                   ov.firstFrame, n, std::nullopt);
        }
    }

    void background() {
        if (!facts.backgroundFillAsset || !timeline.backgroundFrames) return;
        auto v = facts.videos.find(*facts.backgroundFillAsset);
        if (v == facts.videos.end()) return;
        const Video& video = v->second;
        auto [b0, b1] = *timeline.backgroundFrames;
        int32_t id = place(*facts.backgroundFillAsset, "fill", b0, b1);
        out.layers.backgroundFill = id;
        // The loop runs at the grid: source ticks convert exactly when they can.
        int64_t sourceDuration = video.endTicks - video.firstPts;
        if (sourceDuration <= 0) return;
        int32_t gridScale = timeline.grid.timescale;
        int64_t loop = std::max<int64_t>(1, Microseconds::mulDiv(sourceDuration, gridScale, video.timescale));
        int64_t cursor = WideMath::narrow(WideMath::mul(b0, tpf()));
        int64_t end = WideMath::narrow(WideMath::mul(b1, tpf()));
        auto& edits = trackWith(id).edits;
        while (cursor < end) {
            int64_t piece = std::min(end - cursor, loop);
            int64_t src = piece == loop ? sourceDuration : Microseconds::mulDiv(piece, video.timescale, gridScale);
            edits.push_back({CompositionSource{CompositionSource::Kind::asset, *facts.backgroundFillAsset}, cursor, piece,
                             video.firstPts, src, video.timescale});
            cursor += piece;
        }
    }
};

} // namespace

std::vector<int32_t> CompositionLayout::requiredTracks(const ComposedRange& range, const LayerTracks& tracks) {
    std::vector<int32_t> ids;
    auto add = [&](const std::map<int64_t, int32_t>& map, int64_t key) {
        auto it = map.find(key);
        if (it != map.end()) ids.push_back(it->second);
    };
    if (range.segment) {
        int64_t s = *range.segment;
        add(tracks.clips, s);
        if (range.background) add(tracks.masks, s);
        if (range.transitioning) {
            add(tracks.tails, s);
            if (range.background) add(tracks.maskTails, s);
        }
    }
    for (int64_t o : range.overlays) {
        add(tracks.overlays, o);
        add(tracks.overlayMasks, o);
    }
    if (range.background && tracks.backgroundFill) ids.push_back(*tracks.backgroundFill);
    return ids;
}

Composition CompositionLayout::build(const ResolvedTimeline& timeline, const CompositionFacts& facts,
                                      std::optional<FrameRange> window) {
    Builder b{timeline, facts, {}, {}, {}};
    b.out.grid = timeline.grid;
    b.out.frameCount = timeline.frameCount;
    b.out.size = facts.size;
    b.out.hdr = facts.hdr;
    b.segments(window);
    b.overlays(window);
    b.background();

    int64_t full = b.out.durationTicks();
    if (b.out.tracks.empty()) b.out.tracks.push_back({static_cast<int32_t>(b.lanes.count() + 1), {}});
    auto& first = b.out.tracks.front().edits;
    int64_t reach = 0;
    for (const auto& t : b.out.tracks)
        for (const auto& e : t.edits) reach = std::max(reach, e.outStart + e.outDuration);
    int64_t firstEnd = first.empty() ? 0 : first.back().outStart + first.back().outDuration;
    if (reach < full) first.push_back({std::nullopt, std::max(firstEnd, reach), full - std::max(firstEnd, reach), 0, 0, 0});
    std::sort(b.out.tracks.begin(), b.out.tracks.end(),
              [](const CompositionTrack& x, const CompositionTrack& y) { return x.trackId < y.trackId; });

    FrameRange w = window.value_or(FrameRange{0, timeline.frameCount});
    std::vector<ComposedRange> runs;
    if (w.lowerBound > 0) runs.push_back(ComposedRange{{0, w.lowerBound}, std::nullopt, false, {}, false});
    for (auto& r : timeline.composedRanges(w)) runs.push_back(std::move(r));
    if (w.upperBound < timeline.frameCount) {
        runs.push_back(ComposedRange{{w.upperBound, timeline.frameCount}, std::nullopt, false, {}, false});
    }
    int64_t tpf = timeline.grid.ticksPerFrame;
    for (auto& r : runs) {
        GraphInstruction i;
        i.start = WideMath::narrow(WideMath::mul(r.frames.lowerBound, tpf));
        i.duration = WideMath::narrow(WideMath::mul(r.frames.count(), tpf));
        i.requiredSourceTrackIDs = requiredTracks(r, b.out.layers);
        i.range = std::move(r);
        b.out.instructions.push_back(std::move(i));
    }
    return std::move(b.out);
}

} // namespace korvel
