#include "Adapters/Render/ProbeService.hpp"

#include "Adapters/Concurrency/BlockingWork.hpp"
#include "Adapters/Files/FileName.hpp"
#include "Adapters/Media/MediaFailure.hpp"
#include "Adapters/Media/FFmpeg.hpp"
#include "Adapters/Media/MediaAsset.hpp"
#include "Adapters/Render/Sources/StillImages.hpp"
#include "Adapters/Render/Sources/VideoOpener.hpp"
#include "Core/ClientText.hpp"
#include "Core/Time.hpp"

#include <cmath>

namespace korvel {

namespace {

int64_t durationUs(const std::optional<TickTime>& duration) {
    if (!duration || duration->timescale <= 0) return 0;
    double seconds = duration->seconds();
    if (!std::isfinite(seconds)) return 0;
    return Microseconds::of(seconds);
}

// The samples of a movie's sound track that play from `fromSeconds` on must
// lie inside the file: a file cut short loses exactly those.
bool storedTailInFile(const MediaAsset& asset, const MovieTrack& track, double fromSeconds) {
    if (track.sampleCount() > VideoOpener::maxSamples) return true; // too many to look at; the decode decides
    std::vector<MovieSample> samples;
    try {
        samples = track.samples(VideoOpener::maxSamples);
    } catch (const MovieBoxError&) {
        return false;
    }
    double scale = track.mediaTimescale;
    for (const auto& s : samples) {
        if (static_cast<double>(s.presentationTime() + s.duration) / scale < fromSeconds) continue;
        if (s.offset > asset.fileSize() || s.size > asset.fileSize() - s.offset) return false;
    }
    return true;
}

// A fragmented movie's header leaves its length to the fragments, which
// the demuxer reads.
std::optional<TickTime> soundLength(const MediaAsset& asset) {
    const auto& duration = asset.duration();
    const MovieBox* movie = asset.movie();
    if (!movie || !movie->fragmented || (duration && duration->value != 0)) return duration;
    FFmpeg::Format format;
    if (FFmpeg::openInput(asset.url(), MediaAsset::allFormats(), format) < 0) return duration;
    if (avformat_find_stream_info(format.get(), nullptr) < 0) return duration;
    if (format->duration == AV_NOPTS_VALUE || format->duration <= 0) return duration;
    return TickTime{format->duration, AV_TIME_BASE};
}

} // namespace

bool ProbeService::endDecodes(const MediaAsset& asset, size_t trackIndex) {
    const auto duration = soundLength(asset);
    FFmpeg::prepare();
    if (!duration || duration->timescale <= 0 || duration->value <= 0) return false;
    const MediaAsset::Track& track = asset.tracks().at(trackIndex);
    int64_t tail = std::min<int64_t>(duration->value, Microseconds::roundedToInt64(0.25 * duration->timescale));
    int64_t from = duration->value - tail;
    double fromSeconds = static_cast<double>(from) / duration->timescale;
    if (const MovieBox* movie = asset.movie()) {
        if (!storedTailInFile(asset, movie->tracks.at(track.index), fromSeconds)) return false;
    }

    FFmpeg::Format format;
    if (FFmpeg::openInput(asset.url(), asset.movie() ? MediaAsset::allFormats() : MediaAsset::soundFormats(), format) < 0) {
        return false;
    }
    if (avformat_find_stream_info(format.get(), nullptr) < 0) return false;
    int stream = -1;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        bool match = asset.movie() ? format->streams[i]->id == static_cast<int>(track.id) : i == track.index;
        if (match && stream < 0) stream = static_cast<int>(i);
        else format->streams[i]->discard = AVDISCARD_ALL;
    }
    if (stream < 0) return false;
    AVStream* st = format->streams[stream];
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    if (!codec) return false;
    FFmpeg::Codec decoder(avcodec_alloc_context3(codec));
    if (!decoder || avcodec_parameters_to_context(decoder.get(), st->codecpar) < 0) return false;
    decoder->pkt_timebase = st->time_base;
    if (avcodec_open2(decoder.get(), codec, nullptr) < 0) return false;

    int64_t seekTo = av_rescale_q(from, AVRational{1, duration->timescale}, st->time_base);
    if (av_seek_frame(format.get(), stream, seekTo, AVSEEK_FLAG_BACKWARD) < 0) {
        av_seek_frame(format.get(), stream, 0, AVSEEK_FLAG_BACKWARD);
    }
    auto packet = FFmpeg::packet();
    auto frame = FFmpeg::frame();
    auto drain = [&] {
        for (;;) {
            int r = avcodec_receive_frame(decoder.get(), frame.get());
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
            if (r < 0) return false;
            av_frame_unref(frame.get());
        }
    };
    for (;;) {
        const int status = av_read_frame(format.get(), packet.get());
        if (status == AVERROR_EOF) break;
        if (status < 0) return false;
        bool ours = packet->stream_index == stream;
        bool damaged = packet->flags & AV_PKT_FLAG_CORRUPT;
        if (ours) {
            if (damaged) return false;
            int sent = avcodec_send_packet(decoder.get(), packet.get());
            if (sent == AVERROR(EAGAIN)) {
                if (!drain()) return false;
                sent = avcodec_send_packet(decoder.get(), packet.get());
            }
            if (sent < 0) return false;
            if (!drain()) return false;
        }
        av_packet_unref(packet.get());
    }
    avcodec_send_packet(decoder.get(), nullptr);
    return drain();
}

ProbeResult ProbeService::audioFile(const MediaAsset& asset, size_t track, const std::string& hash) {
    const EngineFailure damaged = MediaFailure::cutShort(asset.url());
    int64_t us = 0;
    try {
        us = durationUs(soundLength(asset));
    } catch (const TimeOverflow&) {
        // A length no recording has: the header that states it is damaged.
        throw damaged;
    }
    bool ends = blockingWork([&](StopFlag&) { return endDecodes(asset, track); });
    if (!ends) throw damaged;
    ProbeResult r;
    r.kind = AssetKind::audio;
    r.contentHash = hash;
    r.durationUs = us;
    r.width = 0;
    r.height = 0;
    r.fps = std::nullopt;
    r.firstPtsUs = 0;
    r.hasAudio = true;
    r.color = std::nullopt;
    return r;
}

ProbeResult ProbeService::probe(const ProbeParams& params) const {
    std::filesystem::path location(params.path);
    // Hashed before anything else is looked at, so every later request can
    // name the file by its content.
    std::string hash = library->contentHash(location);

    std::shared_ptr<const MediaAsset> asset;
    try {
        asset = MediaAsset::open(location, MediaAsset::Containers::decodable);
    } catch (...) {
        asset = nullptr;
    }
    // Without video, only the sound files the engine renders are probed as sound.
    if (asset && !asset->movie() && asset->tracks(MediaAsset::MediaType::video).empty()) {
        try {
            asset = MediaAsset::open(location);
        } catch (...) {
            asset = nullptr;
        }
    }
    if (asset) {
        auto videos = asset->tracks(MediaAsset::MediaType::video);
        auto sounds = asset->tracks(MediaAsset::MediaType::audio);
        if (!videos.empty()) {
            auto video = library->video(location);
            RenderSize display = video->displaySize();
            ProbeResult r;
            r.kind = AssetKind::video;
            r.contentHash = hash;
            r.durationUs = durationUs(asset->duration());
            // A fragmented movie's header leaves its length to the fragments.
            if (r.durationUs == 0 && asset->movie() && asset->movie()->fragmented) {
                r.durationUs = video->table.us(video->table.endTicks);
            }
            // Other containers' lengths are often guessed from their first
            // and last times, which a clock that starts over defeats: they
            // last at least as long as their frames.
            if (!asset->movie()) r.durationUs = std::max(r.durationUs, video->table.us(video->table.endTicks));
            r.width = display.width;
            r.height = display.height;
            r.fps = video->table.measuredFrameRate();
            r.firstPtsUs = video->table.firstPtsUs();
            r.hasAudio = !sounds.empty();
            r.color = video->color;
            return r;
        }
        if (!sounds.empty()) {
            size_t index = 0;
            while (asset->tracks()[index].type != MediaAsset::MediaType::audio) ++index;
            return audioFile(*asset, index, hash);
        }
    }
    if (auto still = StillImages::properties(location)) {
        ProbeResult r;
        r.kind = AssetKind::image;
        r.contentHash = hash;
        r.durationUs = 0;
        bool quarterTurn = still->orientation && *still->orientation > 4;
        r.width = quarterTurn ? still->height : still->width;
        r.height = quarterTurn ? still->width : still->height;
        r.fps = std::nullopt;
        r.firstPtsUs = 0;
        r.hasAudio = false;
        r.color = std::nullopt;
        return r;
    }
    throw EngineFailure::unsupportedFormat(nameOf(location) + " is in a format that can't be opened.");
}

} // namespace korvel
