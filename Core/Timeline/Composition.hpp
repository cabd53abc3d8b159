#pragma once

#include "Core/Timeline/FrameGrid.hpp"
#include "Core/Timeline/LayerTracks.hpp"
#include "Core/Picture/RenderSize.hpp"
#include "Core/Timeline/ResolvedTimeline.hpp"

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace korvel {

// Which opened video feeds an edit.
struct CompositionSource {
    enum class Kind { asset, matte, overlayMatte };
    Kind kind = Kind::asset;
    std::string id; // asset id, or the overlay's mask key

    bool operator==(const CompositionSource&) const = default;
    auto operator<=>(const CompositionSource&) const = default;
};

// One timed piece of a track: output ticks [outStart, outStart + outDuration)
// at the grid show source ticks [sourceStart, sourceStart + sourceDuration)
// at the source's timescale, mapped linearly. An edit without a source is
// empty time.
struct CompositionEdit {
    std::optional<CompositionSource> source;
    int64_t outStart = 0;
    int64_t outDuration = 0;
    int64_t sourceStart = 0;
    int64_t sourceDuration = 0;
    int32_t sourceTimescale = 0;

    bool operator==(const CompositionEdit&) const = default;
};

struct CompositionTrack {
    int32_t trackId = 0;
    std::vector<CompositionEdit> edits; // ascending, never overlapping

    bool operator==(const CompositionTrack&) const = default;
};

// One run of output frames with a constant layer set.
struct GraphInstruction {
    int64_t start = 0;    // grid ticks
    int64_t duration = 0; // grid ticks
    std::vector<int32_t> requiredSourceTrackIDs;
    ComposedRange range;

    bool operator==(const GraphInstruction&) const = default;
};

// The source time a track shows at an output time: what the decoder is asked.
// Inserts are shifted by half a source frame, so this is the middle of the
// frame to show and the frame on screen at it is the one drawn.
struct TrackTime {
    CompositionSource source;
    int64_t ticks = 0; // at timescale
    int32_t timescale = 0;

    bool operator==(const TrackTime&) const = default;
};

// Every moving picture a render's frames can need, laid on tracks in exact
// integer time, and the instructions that tile the whole timeline.
struct Composition {
    FrameGrid grid;
    int64_t frameCount = 0;
    RenderSize size;
    bool hdr = false;
    std::vector<CompositionTrack> tracks; // ascending track id
    std::vector<GraphInstruction> instructions;
    LayerTracks layers;

    int64_t durationTicks() const;
    const CompositionTrack* track(int32_t id) const;
    // Nothing on empty time or outside the track.
    std::optional<TrackTime> sourceTime(int32_t trackId, int64_t outTicks) const;
    // The instruction whose run holds the frame; null outside the timeline.
    const GraphInstruction* instruction(int64_t frame) const;

    bool operator==(const Composition&) const = default;
};

// What the builder knows of each opened video: its frame table's reach.
struct CompositionFacts {
    struct Video {
        int32_t timescale = 0;
        int64_t firstPts = 0;
        int64_t endTicks = 0;
        bool operator==(const Video&) const = default;
    };
    std::map<std::string, Video, std::less<>> videos;        // by asset id
    std::optional<Video> matte;                              // the background's stored mask
    std::optional<std::string> matteAssetId;
    std::map<std::string, Video, std::less<>> overlayMattes; // by mask key
    std::optional<std::string> backgroundFillAsset;          // a fill of kind asset
    RenderSize size;
    bool hdr = false;
};

namespace CompositionLayout {
// Throws EngineFailure -32602 "The render needs a source for asset <id>."
// for a clip, tail or overlay whose video is not among the facts.
Composition build(const ResolvedTimeline& timeline, const CompositionFacts& facts,
                  std::optional<FrameRange> window);
std::vector<int32_t> requiredTracks(const ComposedRange& range, const LayerTracks& tracks);
} // namespace CompositionLayout

} // namespace korvel
