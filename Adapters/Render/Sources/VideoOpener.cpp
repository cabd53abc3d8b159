#include "Adapters/Render/Sources/VideoOpener.hpp"

#include "Adapters/Files/FileName.hpp"
#include "Adapters/Files/FileStamp.hpp"
#include "Adapters/Concurrency/BlockingWork.hpp"
#include "Adapters/Media/MediaFailure.hpp"
#include "Adapters/Render/Sources/ColorTags.hpp"
#include "Adapters/Render/Sources/DemuxedTrack.hpp"
#include "Adapters/Media/FFmpeg.hpp"
#include "Adapters/Render/Sources/VideoFrames.hpp"
#include "Core/Jobs.hpp"
#include "Core/Timeline/TrackTimes.hpp"
#include "Core/Time.hpp"

#include <algorithm>
#include <mutex>
#include <unordered_map>

namespace korvel {

namespace {

EngineFailure unsupported(const std::filesystem::path& url, std::string_view rest) {
    return EngineFailure::unsupportedFormat(nameOf(url) + std::string(rest));
}

// No recording lasts long enough for its times to leave microseconds: such
// times are damage, refused here so that no later road meets them.
EngineFailure damagedTimes() { return MediaFailure::reading(std::make_exception_ptr(TimeOverflow()), "This video"); }

void checkTimes(const PTSTable& table, const std::optional<TickTime>& movieDuration) {
    try {
        // Ascending: the first and last entries bound every other.
        table.us(table.pts.front());
        table.us(table.pts.back());
        table.us(table.endTicks);
        if (movieDuration && movieDuration->timescale > 0) Microseconds::of(movieDuration->seconds());
    } catch (const TimeOverflow&) {
        throw damagedTimes();
    }
}

// The stored tables, when they can be walked.
std::optional<std::vector<MovieSample>> cursorSamples(const MovieTrack& track) {
    try {
        auto samples = track.samples(VideoOpener::maxSamples);
        if (samples.empty()) return std::nullopt;
        return samples;
    } catch (const MovieBoxError&) {
        return std::nullopt;
    }
}

PTSTable table(const std::vector<MovieSample>& samples, const std::vector<TrackSegment>& edits, int32_t timescale,
               const std::filesystem::path& url, std::vector<size_t>& sampleOfEntry) {
    std::vector<TrackTimes::Timed> timed;
    timed.reserve(samples.size());
    for (const auto& s : samples) timed.push_back({s.presentationTime(), s.duration});
    TrackTimes::Shown shown;
    try {
        shown = TrackTimes::shown(timed, edits, timescale);
    } catch (const TimeOverflow&) {
        throw damagedTimes();
    } catch (const std::exception&) {
        throw unsupported(url, " is in a format that can't be opened.");
    }
    if (shown.pts.empty()) throw unsupported(url, " has no frames that can be shown.");
    sampleOfEntry = std::move(shown.sampleOf);
    return PTSTable(timescale, std::move(shown.pts), shown.endTicks);
}

// The video track every road shows, of those the file has.
size_t pictureTrack(const std::vector<MediaAsset::Track>& videos) { return videos.front().index; }

// A container without a movie box: its track as a movie file's, read in one
// pass, shown without edits.
VideoSource openDemuxed(const std::filesystem::path& url, std::shared_ptr<const MediaAsset> asset, size_t stream,
                        bool checkEnd) {
    VideoSource source;
    source.url = url;
    std::optional<VideoFrames::FirstFrame> first;
    std::optional<AssetColor> containerColor;
    blockingWork([&](StopFlag&) {
        DemuxedTrack demuxed;
        try {
            demuxed = DemuxedTrack::read(url, stream);
        } catch (const TimeOverflow&) {
            throw damagedTimes();
        }
        source.naturalSize = demuxed.naturalSize;
        source.preferredTransform = demuxed.transform;
        containerColor = demuxed.color;
        VideoTrack& track = *demuxed.track;
        const MovieTrack& mt = track.movie;
        first = VideoFrames::firstFrame(url, track);
        if (!first) throw unsupported(url, " uses a video format that can't be decoded.");
        std::vector<TrackSegment> whole;
        try {
            whole = TrackTimes::segments(mt, mt.mediaTimescale, TrackTimes::mediaEnd(track.samples));
        } catch (const TimeOverflow&) {
            throw damagedTimes();
        }
        source.table = table(track.samples, whole, static_cast<int32_t>(mt.mediaTimescale), url, track.sampleOfEntry);
        checkTimes(source.table, asset->duration());
        source.track = std::move(demuxed.track);
    });
    source.asset = std::move(asset);
    // The container's tags first, as a movie file's colr box.
    source.color = containerColor ? containerColor : first->color;
    if (checkEnd) VideoOpener::checkEnd(source);
    return source;
}

} // namespace

std::vector<MovieSample> VideoOpener::readSamples(const std::filesystem::path& url, const MovieTrack& track) {
    // Raw media times: the edits are applied by the engine itself.
    FFmpeg::Format format;
    int status = FFmpeg::openInput(url, MediaAsset::allFormats(), format, true);
    if (status < 0) throw unsupported(url, " can't be opened.");
    int stream = -1;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        if (format->streams[i]->id == static_cast<int>(track.trackId)) stream = static_cast<int>(i);
        else format->streams[i]->discard = AVDISCARD_ALL;
    }
    if (stream < 0) throw unsupported(url, " can't be opened.");
    AVRational base = format->streams[stream]->time_base;
    AVRational media{1, static_cast<int>(track.mediaTimescale)};
    auto inMedia = [&](int64_t t) { return av_rescale_q(t, base, media); };
    std::vector<MovieSample> samples;
    auto packet = FFmpeg::packet();
    for (;;) {
        status = av_read_frame(format.get(), packet.get());
        if (status == AVERROR_EOF) break;
        if (status < 0 || (packet->flags & AV_PKT_FLAG_CORRUPT)) {
            throw MediaFailure::cutShort(url);
        }
        if (packet->stream_index == stream && packet->pts != AV_NOPTS_VALUE && packet->pos >= 0) {
            if (samples.size() >= maxSamples) throw unsupported(url, " is in a format that can't be opened.");
            MovieSample s;
            int64_t dts = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
            s.decodeTime = inMedia(dts);
            if (__builtin_sub_overflow(inMedia(packet->pts), s.decodeTime, &s.compositionOffset)) throw damagedTimes();
            s.duration = packet->duration > 0 ? inMedia(packet->duration) : 0;
            s.offset = packet->pos;
            s.size = static_cast<uint32_t>(packet->size);
            s.isSync = packet->flags & AV_PKT_FLAG_KEY;
            samples.push_back(s);
        }
        av_packet_unref(packet.get());
    }
    return samples;
}

namespace {

std::optional<TickTime> firstShownOf(const std::filesystem::path& url) {
    auto asset = MediaAsset::open(url, MediaAsset::Containers::decodable);
    auto videos = asset->tracks(MediaAsset::MediaType::video);
    if (asset->movie() || videos.empty()) return std::nullopt;
    return DemuxedTrack::firstShown(url, pictureTrack(videos));
}

} // namespace

std::optional<TickTime> VideoOpener::demuxedStart(const std::filesystem::path& url) {
    // Every read of a file's sound asks, and the answer takes a pass over
    // the whole file: kept per file identity, the last few files.
    struct Known {
        std::optional<TickTime> start;
        uint64_t used = 0;
    };
    static std::mutex lock;
    static std::unordered_map<FileStamp, Known> known;
    static uint64_t uses = 0;
    constexpr size_t kept = 64;
    const auto stamp = FileStamp::of(url);
    if (stamp) {
        std::lock_guard g(lock);
        if (auto found = known.find(*stamp); found != known.end()) {
            found->second.used = ++uses;
            return found->second.start;
        }
    }
    std::optional<TickTime> start;
    try {
        start = firstShownOf(url);
    } catch (const Cancelled&) {
        throw;
    } catch (...) {
        return std::nullopt;
    }
    if (stamp) {
        std::lock_guard g(lock);
        if (known.size() >= kept) {
            auto oldest = std::min_element(known.begin(), known.end(),
                                           [](const auto& a, const auto& b) { return a.second.used < b.second.used; });
            known.erase(oldest);
        }
        known[*stamp] = Known{start, ++uses};
    }
    return start;
}

VideoSource VideoOpener::open(const std::filesystem::path& url, bool checkEnd) {
    std::shared_ptr<const MediaAsset> asset;
    try {
        asset = MediaAsset::open(url, MediaAsset::Containers::decodable);
    } catch (...) {
        throw unsupported(url, " is in a format that can't be opened.");
    }
    auto videos = asset->tracks(MediaAsset::MediaType::video);
    if (videos.empty()) throw unsupported(url, " has no video that can be opened.");
    if (!asset->movie()) return openDemuxed(url, std::move(asset), pictureTrack(videos), checkEnd);
    const MovieBox& movie = *asset->movie();

    auto track = std::make_shared<VideoTrack>();
    track->movie = movie.tracks[pictureTrack(videos)];
    const MovieTrack& mt = track->movie;
    const MovieSampleEntry* description = track->firstDescription();

    VideoSource source;
    source.url = url;
    source.asset = asset;
    source.naturalSize = {mt.width, mt.height};
    // A track header without a size leaves it to the picture description.
    if ((mt.width <= 0 || mt.height <= 0) && description) {
        source.naturalSize = {static_cast<double>(description->width), static_cast<double>(description->height)};
    }
    const auto& m = mt.transform;
    source.preferredTransform = {m[0], m[1], m[2], m[3], m[4], m[5]};
    auto timescale = static_cast<int32_t>(mt.mediaTimescale);

    auto cursors = cursorSamples(mt);
    std::optional<VideoFrames::FirstFrame> first;

    blockingWork([&](StopFlag&) {
        // Samples first: the decode probes read their bytes. Without walkable
        // tables they are read packet by packet, and a failure there is the
        // timestamps' failure, reported after the first-frame probe.
        std::exception_ptr samplesFailure;
        if (cursors) {
            track->samples = std::move(*cursors);
            track->hasCursors = true;
        } else {
            try {
                track->samples = readSamples(url, mt);
            } catch (...) {
                samplesFailure = std::current_exception();
            }
        }
        first = VideoFrames::firstFrame(url, *track);
        if (!first) throw unsupported(url, " uses a video format that can't be decoded.");
        if (samplesFailure) std::rethrow_exception(samplesFailure);
        std::vector<TrackSegment> edits;
        try {
            for (const auto& segment : TrackTimes::segments(mt, movie.timescale, TrackTimes::mediaEnd(track->samples))) {
                if (!segment.empty) edits.push_back(segment);
            }
        } catch (const TimeOverflow&) {
            throw damagedTimes();
        } catch (const std::exception&) {
            throw unsupported(url, " is in a format that can't be opened.");
        }
        source.table = table(track->samples, edits, timescale, url, track->sampleOfEntry);
        checkTimes(source.table, asset->duration());
    });

    source.color = ColorTags::read(description);
    // Without a colr box the tags may still be in the bitstream (HLG
    // cameras often write only there).
    if (!source.color) source.color = first->color;
    source.track = std::move(track);
    if (checkEnd) VideoOpener::checkEnd(source);
    return source;
}

void VideoOpener::checkEnd(const VideoSource& video) {
    bool decodes = blockingWork(
        [&](StopFlag&) { return VideoFrames::decodes(video.url, *video.track, video.track->sampleOfEntry.back()); });
    if (!decodes) throw MediaFailure::cutShort(video.url);
}

} // namespace korvel
