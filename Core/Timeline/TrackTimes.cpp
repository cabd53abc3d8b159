#include "Core/Timeline/TrackTimes.hpp"

#include "Core/Time.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <numeric>

namespace korvel {

namespace {

using Wide = __int128;

int64_t narrow(Wide v) {
    if (v > INT64_MAX || v < INT64_MIN) throw TimeOverflow();
    return static_cast<int64_t>(v);
}

int64_t sum(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_add_overflow(a, b, &r)) throw TimeOverflow();
    return r;
}

// a ÷ b rounded half away from zero, b > 0.
Wide roundedDivide(Wide a, Wide b) {
    Wide twice = 2 * a;
    return (a >= 0 ? twice + b : twice - b) / (2 * b);
}

int64_t roundedTimes(int64_t ticks, double rate) {
    if (rate == 1.0) return ticks;
    return Microseconds::roundedToInt64(static_cast<double>(ticks) * rate);
}

// Every shown entry costs memory; a hostile edit list could ask for
// billions by repeating the whole media.
constexpr size_t maxShown = size_t{1} << 25;

} // namespace

int64_t TickTime::in(int32_t scale) const {
    if (timescale <= 0 || scale <= 0) throw TimeOverflow();
    if (scale == timescale) return value;
    return narrow(roundedDivide(static_cast<Wide>(value) * scale, timescale));
}

double TrackSegment::rate() const {
    return targetDuration.seconds() / std::max(sourceDuration.seconds(), DBL_MIN);
}

int64_t TrackTimes::mediaEnd(const std::vector<MovieSample>& samples) {
    int64_t end = 0;
    for (const auto& s : samples) end = std::max(end, sum(s.presentationTime(), s.duration));
    return end;
}

std::vector<TrackSegment> TrackTimes::segments(const MovieTrack& track, uint32_t movieTimescale, int64_t mediaEnd) {
    auto media = static_cast<int32_t>(track.mediaTimescale);
    auto movie = static_cast<int32_t>(movieTimescale);
    std::vector<TrackSegment> out;
    if (!track.edits || track.edits->empty()) {
        TickTime whole{track.mediaDuration > 0 ? track.mediaDuration : mediaEnd, media};
        out.push_back({false, {0, media}, whole, {0, media}, whole});
        return out;
    }
    int64_t at = 0;
    for (const auto& edit : *track.edits) {
        TrackSegment s;
        s.empty = edit.isEmpty();
        s.targetStart = {at, movie};
        s.targetDuration = {edit.segmentDuration, movie};
        if (!s.empty) {
            s.sourceStart = {edit.mediaTime, media};
            if (edit.segmentDuration == 0 && mediaEnd > edit.mediaTime && edit.rate > 0) {
                // Open-ended: the rest of the media.
                TickTime rest{mediaEnd - edit.mediaTime, media};
                s.sourceDuration = {rest.in(movie), movie};
                s.targetDuration = {roundedTimes(rest.in(movie), 1.0 / edit.rate), movie};
            } else {
                s.sourceDuration = {roundedTimes(edit.segmentDuration, edit.rate), movie};
            }
        }
        out.push_back(s);
        at = sum(at, s.targetDuration.value);
    }
    return out;
}

TrackTimes::Shown TrackTimes::shown(const std::vector<Timed>& samples, const std::vector<TrackSegment>& segments,
                                    int32_t timescale) {
    Shown out;
    if (timescale <= 0) throw TimeOverflow();
    // Samples by presentation time; equal times keep decode order.
    std::vector<size_t> byTime(samples.size());
    std::iota(byTime.begin(), byTime.end(), size_t{0});
    std::stable_sort(byTime.begin(), byTime.end(),
                     [&](size_t a, size_t b) { return samples[a].start < samples[b].start; });

    std::vector<std::pair<int64_t, size_t>> entries;
    for (const auto& segment : segments) {
        if (segment.empty) continue;
        const TickTime& s0 = segment.sourceStart;
        const TickTime& sd = segment.sourceDuration;
        if (s0.timescale != timescale || sd.timescale <= 0) throw TimeOverflow();
        double rate = segment.rate();
        // start ≤ sample < start + duration, compared exactly in media ticks:
        // sample·sd.ts < s0·sd.ts + sd·T.
        Wide endScaled = static_cast<Wide>(s0.value) * sd.timescale + static_cast<Wide>(sd.value) * timescale;
        auto first = std::lower_bound(byTime.begin(), byTime.end(), s0.value,
                                      [&](size_t i, int64_t v) { return samples[i].start < v; });
        int64_t targetStart = segment.targetStart.in(timescale);
        TickTime targetEnd{sum(segment.targetStart.value, segment.targetDuration.value),
                           segment.targetStart.timescale};
        int64_t editEnd = targetEnd.in(timescale);
        for (auto it = first; it != byTime.end(); ++it) {
            const Timed& sample = samples[*it];
            if (static_cast<Wide>(sample.start) * sd.timescale >= endScaled) break;
            int64_t offset = narrow(static_cast<Wide>(sample.start) - s0.value);
            int64_t shownAt = sum(targetStart, roundedTimes(offset, rate));
            int64_t sampleEnd = sum(shownAt, roundedTimes(sample.duration, rate));
            out.endTicks = std::max(out.endTicks, std::min(editEnd, sampleEnd));
            if (entries.size() >= maxShown) throw MovieBoxError("the edits show too many frames");
            entries.emplace_back(shownAt, *it);
        }
    }
    std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    out.pts.reserve(entries.size());
    out.sampleOf.reserve(entries.size());
    for (const auto& [pts, index] : entries) {
        out.pts.push_back(pts);
        out.sampleOf.push_back(index);
    }
    return out;
}

} // namespace korvel
