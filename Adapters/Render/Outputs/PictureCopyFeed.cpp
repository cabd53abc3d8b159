#include "Adapters/Render/Outputs/PictureCopyFeed.hpp"

#include "Adapters/Media/MediaFailure.hpp"
#include "Adapters/Media/FFmpeg.hpp"
#include "Adapters/Render/Sources/CopySource.hpp"
#include "Adapters/Render/Sources/VideoFrames.hpp"
#include "Adapters/Media/MovieFile.hpp"
#include "Adapters/Media/StoredSamples.hpp"
#include "Core/Timeline/TrackTimes.hpp"
#include "Core/Time.hpp"

#include <climits>
#include <cstring>
#include <optional>

namespace korvel {

namespace {

// The shift that the track's first shown edit puts on its media times.
int64_t editShift(const VideoSource& video) {
    const MovieBox* movie = video.asset ? video.asset->movie() : nullptr;
    if (!movie || !video.track) return 0;
    int32_t T = video.table.timescale;
    for (const auto& s : TrackTimes::segments(video.track->movie, movie->timescale, TrackTimes::mediaEnd(video.track->samples))) {
        if (!s.empty) return s.targetStart.in(T) - s.sourceStart.in(T);
    }
    return 0;
}

// A stored sample's times in the track's timescale, as the copy writes them.
// Throws TimeOverflow when they leave 64 bits.
MovieWriter::Sample timed(const MovieSample& sample, int32_t mediaScale, int32_t T, int64_t shift) {
    MovieWriter::Sample t;
    if (__builtin_add_overflow(TickTime{sample.decodeTime, mediaScale}.in(T), shift, &t.decodeTicks) ||
        __builtin_add_overflow(TickTime{sample.presentationTime(), mediaScale}.in(T), shift, &t.presentationTicks)) {
        throw TimeOverflow();
    }
    t.durationTicks = TickTime{sample.duration, mediaScale}.in(T);
    t.isSync = sample.isSync;
    return t;
}

// Whether the copy writes what the track shows: every stored sample is shown
// within the track's length (no edit leaves one out), and the movie writer
// can carry its times, whose durations, decode steps and composition offsets
// are 32-bit in the file it writes.
bool timesWritable(const VideoSource& video, int64_t shift) {
    constexpr int64_t most = INT32_MAX - 1;
    const auto mediaScale = static_cast<int32_t>(video.track->movie.mediaTimescale);
    std::optional<int64_t> lastDecode;
    try {
        for (const auto& sample : video.track->samples) {
            if (sample.size == 0) continue;
            const MovieWriter::Sample t = timed(sample, mediaScale, video.table.timescale, shift);
            const __int128 offset = static_cast<__int128>(t.presentationTicks) - t.decodeTicks;
            if (t.presentationTicks < 0 || t.presentationTicks >= video.table.endTicks) return false;
            if (t.durationTicks < 0 || t.durationTicks > most || offset < -most || offset > most) return false;
            if (lastDecode && (t.decodeTicks < *lastDecode || t.decodeTicks - *lastDecode > most)) return false;
            lastDecode = t.decodeTicks;
        }
    } catch (const TimeOverflow&) {
        return false;
    }
    return true;
}

} // namespace

const std::set<std::string, std::less<>>& PictureCopyFeed::deliverable() {
    static const std::set<std::string, std::less<>> codes{"avc1", "hvc1"};
    return codes;
}

PictureCopy::Source PictureCopyFeed::facts(const VideoSource& video) {
    PictureCopy::Source s;
    RenderSize display = video.displaySize();
    s.displayWidth = display.width;
    s.displayHeight = display.height;
    s.firstPtsTicks = video.table.pts.empty() ? 0 : video.table.pts.front();
    s.endTicks = video.table.endTicks;
    s.timescale = video.table.timescale;
    // The stored bytes over the track's media duration, as a single-precision
    // rate like the platform's estimate.
    double bytes = 0;
    if (video.track)
        for (const auto& sample : video.track->samples) bytes += sample.size;
    double seconds = video.track && video.track->movie.mediaTimescale
                         ? static_cast<double>(video.track->movie.mediaDuration) / video.track->movie.mediaTimescale
                         : 0;
    s.bitsPerSecond = static_cast<double>(static_cast<float>(seconds > 0 ? bytes * 8 / seconds : 0));
    s.isHDR = video.color && video.color->hdr;
    const MovieSampleEntry* first = video.track ? video.track->firstDescription() : nullptr;
    s.isDeliverable = first && deliverable().count(first->format) > 0;
    try {
        s.timesWritable = video.track && timesWritable(video, editShift(video));
    } catch (const TimeOverflow&) {
        s.timesWritable = false;
    }
    return s;
}

PictureCopyFeed::PictureCopyFeed(const VideoSource& video, const MovieSampleEntry* format, MovieWriter& writer)
    : video_(video) {
    if (!video.track) throw MediaFailure::reading(nullptr, "The video");
    const VideoTrack& track = *video.track;
    try {
        VideoFrames::samplesFile(video.url, track);
    } catch (...) {
        throw MediaFailure::reading(std::current_exception(), "The video");
    }
    // Pictures stored in another file can't be handed out as they are.
    if (track.samples.empty() || !StoredSamples::isStored(track.movie, track.samples.front())) {
        throw EngineFailure::unsupportedFormat("This video cannot be read.");
    }
    shift_ = editShift(video);

    MovieWriter::VideoInput input;
    if (format) {
        input.sampleEntry = format->format;
        const auto* config = format->box(format->format == "hvc1" ? "hvcC" : "avcC");
        if (config) input.config = *config;
        input.width = format->width;
        input.height = format->height;
    }
    if (auto m = CopySourceReader::matrix(video.preferredTransform)) input.matrix = *m;
    input.timescale = video.table.timescale;
    writer.add(input);
    // As run appends them.
    std::vector<MovieWriter::Planned> planned;
    planned.reserve(track.samples.size());
    const auto mediaScale = static_cast<int32_t>(track.movie.mediaTimescale);
    try {
        for (const auto& sample : track.samples) {
            if (sample.size != 0) planned.push_back({timed(sample, mediaScale, input.timescale, shift_), sample.size});
        }
    } catch (const TimeOverflow&) {
        return; // run fails on them, laid out or not
    }
    writer.plan(std::move(planned));
}

PictureCopyFeed::~PictureCopyFeed() = default;

int64_t PictureCopyFeed::run(MovieWriter& writer, StopFlag& stop, int64_t total, const Progress& progress) {
    std::shared_ptr<const MovieFile> file;
    try {
        file = VideoFrames::samplesFile(video_.url, *video_.track);
    } catch (...) {
        throw MediaFailure::reading(std::current_exception(), "The video");
    }
    const auto& samples = video_.track->samples;
    const auto mediaScale = static_cast<int32_t>(video_.track->movie.mediaTimescale);
    const int32_t T = video_.table.timescale;
    int64_t count = 0;
    if (writer.laidOut()) {
        for (const auto& sample : samples) {
            if (sample.size == 0) continue;
            if (stop.stopped()) throw Cancelled();
            try {
                StoredSamples::checkWithin({sample.offset, sample.size}, *file);
            } catch (...) {
                throw MediaFailure::reading(std::current_exception(), "The video");
            }
            writer.append(timed(sample, mediaScale, T, shift_), file, sample.offset, sample.size);
            count += 1;
            if (count % 30 == 0 && progress) progress(count, total);
        }
        if (progress) progress(count, total);
        return count;
    }
    // Samples stored back to back are read at once and shared by their
    // packets: one read and no copy per sample.
    constexpr int64_t runBytes = 4 << 20;
    std::vector<StoredSamples::Entry> entries;
    for (size_t first = 0; first < samples.size();) {
        size_t end = first;
        int64_t bytes = 0;
        entries.clear();
        for (; end < samples.size(); ++end) {
            const auto& s = samples[end];
            if (s.size == 0) continue;
            if (!entries.empty() && (s.offset != entries.back().offset + entries.back().size || bytes + s.size > runBytes)) break;
            entries.push_back({s.offset, s.size});
            bytes += s.size;
        }
        FFmpeg::Buffer run;
        try {
            int64_t size = StoredSamples::size(entries, *file);
            run.reset(av_buffer_alloc(static_cast<size_t>(size) + AV_INPUT_BUFFER_PADDING_SIZE));
            if (!run) throw std::bad_alloc();
            std::memset(run->data + size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
            StoredSamples::read(entries, *file, std::span(run->data, static_cast<size_t>(size)));
        } catch (...) {
            throw MediaFailure::reading(std::current_exception(), "The video");
        }
        size_t at = 0;
        for (size_t k = first; k < end; ++k) {
            const auto& sample = samples[k];
            if (sample.size == 0) continue;
            if (stop.stopped()) throw Cancelled();
            writer.append(timed(sample, mediaScale, T, shift_), *run, at, sample.size);
            at += sample.size;
            count += 1;
            if (count % 30 == 0 && progress) progress(count, total);
        }
        first = end;
    }
    if (progress) progress(count, total);
    return count;
}

} // namespace korvel
