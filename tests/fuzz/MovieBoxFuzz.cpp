// Feeds arbitrary bytes to the movie box reader as if they were a whole file:
// top-level walk, movie box, every track's samples and their shown times.
// Refusals are fine; crashes, hangs, leaks and runaway allocations are not.
#include "Core/Container/MovieBox.hpp"
#include "Core/Timeline/TrackTimes.hpp"
#include "Core/Time.hpp"

#include <cstring>

using namespace korvel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto read = [&](int64_t offset, size_t count, uint8_t* into) {
        if (offset < 0 || static_cast<uint64_t>(offset) > size || count > size - static_cast<size_t>(offset)) return false;
        std::memcpy(into, data + offset, count);
        return true;
    };
    try {
        auto payload = MovieFileLayout::moviePayload(read, static_cast<int64_t>(size));
        if (!payload) return 0;
        MovieBox movie = MovieBox::parse(std::move(*payload));
        for (const auto& track : movie.tracks) {
            try {
                auto samples = track.samples(uint64_t{1} << 20);
                std::vector<TrackTimes::Timed> timed;
                timed.reserve(samples.size());
                for (const auto& s : samples) timed.push_back({s.presentationTime(), s.duration});
                auto segments = TrackTimes::segments(track, movie.timescale, TrackTimes::mediaEnd(samples));
                auto shown = TrackTimes::shown(timed, segments, static_cast<int32_t>(track.mediaTimescale));
                for (size_t i = 0; i + 1 < shown.pts.size(); ++i) {
                    if (shown.pts[i] > shown.pts[i + 1]) __builtin_trap();
                }
                for (const auto& entry : track.sampleEntries) (void)entry.box("avcC");
            } catch (const MovieBoxError&) {
            } catch (const TimeOverflow&) {
            }
        }
    } catch (const MovieBoxError&) {
    }
    return 0;
}
