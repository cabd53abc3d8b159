#pragma once

#include "Core/Container/MovieBox.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace korvel {

// A time as a count of ticks at a timescale, never reduced.
struct TickTime {
    int64_t value = 0;
    int32_t timescale = 1;

    // No timescale is no time.
    double seconds() const { return timescale > 0 ? static_cast<double>(value) / timescale : 0; }
    // Converted to another timescale, halves away from zero; throws
    // TimeOverflow when the result leaves 64 bits.
    int64_t in(int32_t scale) const;

    bool operator==(const TickTime&) const = default;
};

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
