#pragma once

#include "Core/Container/MovieBox.hpp"
#include "Core/Timeline/TickTime.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace korvel {

// One stretch of a track's timeline: media time `source` shown at track
// time `target`. An empty edit (a gap) shows no media.
struct TrackSegment {
    bool empty = false;
    TickTime sourceStart, sourceDuration; // media time
    TickTime targetStart, targetDuration; // track time

    double rate() const;
};

// How a track's samples land on its timeline.
namespace TrackTimes {

// The segments of a track: its edit list in track order, or one segment
// showing the whole media from zero when it has none. `mediaEnd` (media
// ticks, the end of the last sample) stands in where the file leaves a length
// open: a media duration of zero and edits of length zero, as fragmented
// movies write them.
std::vector<TrackSegment> segments(const MovieTrack& track, uint32_t movieTimescale, int64_t mediaEnd = 0);

// The end of the last sample's presentation, in media ticks; 0 for none.
int64_t mediaEnd(const std::vector<MovieSample>& samples);

struct Timed {
    int64_t start = 0;    // presentation time, media timescale
    int64_t duration = 0; // zero when unknown
};

struct Shown {
    std::vector<int64_t> pts;       // ascending, timescale T
    std::vector<size_t> sampleOf;   // for each entry, which timed sample it shows
    int64_t endTicks = INT64_MIN;   // end of the last shown frame
};

// Presentation times of the samples through the non-empty segments, at
// timescale T. A sample inside two segments is shown twice; one inside none
// is dropped. Throws TimeOverflow for times that leave 64 bits.
Shown shown(const std::vector<Timed>& samples, const std::vector<TrackSegment>& segments, int32_t timescale);

} // namespace TrackTimes
} // namespace korvel
