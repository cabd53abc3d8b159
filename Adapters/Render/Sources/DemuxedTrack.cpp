#include "Adapters/Render/Sources/DemuxedTrack.hpp"

#include "Adapters/Files/FileName.hpp"
#include "Adapters/Media/FFmpeg.hpp"
#include "Adapters/Media/MediaFailure.hpp"
#include "Adapters/Media/MovieFile.hpp"
#include "Adapters/Media/SampleStore.hpp"
#include "Adapters/Media/StoredSamples.hpp"
#include "Adapters/Media/SystemError.hpp"
#include "Adapters/Render/Sources/ColorTags.hpp"
#include "Adapters/Render/Sources/VideoOpener.hpp"
#include "Core/Container/AnnexB.hpp"
#include "Core/Jobs.hpp"
#include "Core/Time.hpp"
#include "Core/Timeline/PacketTimes.hpp"
#include "Core/Timeline/TrackTimes.hpp"

extern "C" {
#include <libavutil/display.h>
}

#include <cerrno>
#include <cstring>

namespace korvel {

namespace {

EngineFailure unopenable(const std::filesystem::path& url) {
    return EngineFailure::unsupportedFormat(nameOf(url) + " is in a format that can't be opened.");
}

// How far after a packet's position its bytes may start: past the block or
// chunk header that Matroska and AVI put before them.
constexpr int64_t headerRoom = 64;

// The offset in the source where a packet's bytes lie as they are; nothing
// when they are not there in one piece (laced, compressed or split across
// transport packets).
std::optional<int64_t> verbatimOffset(const MovieFile& source, const AVPacket& packet, std::vector<uint8_t>& window) {
    if (packet.pos < 0 || packet.size <= 0) return std::nullopt;
    const int64_t size = packet.size;
    const int64_t length = std::min(size + headerRoom, source.size() - packet.pos);
    if (length < size) return std::nullopt;
    window.resize(static_cast<size_t>(length));
    if (source.read(packet.pos, window.size(), window.data()) != MovieFile::Read::whole) return std::nullopt;
    for (int64_t k = 0; k + size <= length; ++k) {
        if (std::memcmp(window.data() + k, packet.data, static_cast<size_t>(size)) == 0) return packet.pos + k;
    }
    return std::nullopt;
}

// The sample entry the engine's other readers know the codec by, with the
// configuration box its bytes need; other codecs are named as libavcodec
// names them and decode through the track's own codec.
MovieSampleEntry entryFor(const AVCodecParameters& par) {
    MovieSampleEntry entry;
    entry.dataReferenceIndex = 1;
    entry.width = par.width;
    entry.height = par.height;
    std::vector<uint8_t> extra(par.extradata, par.extradata + std::max(par.extradata_size, 0));
    // Length-prefixed samples come with a configuration record; Annex B
    // streams carry their parameter sets in band.
    const bool record = extra.size() > 3 && extra[0] == 1;
    switch (par.codec_id) {
    case AV_CODEC_ID_H264:
        if (record) {
            entry.format = "avc1";
            entry.boxes.emplace_back("avcC", extra);
        }
        break;
    case AV_CODEC_ID_HEVC:
        if (record) {
            entry.format = "hvc1";
            entry.boxes.emplace_back("hvcC", extra);
        }
        break;
    case AV_CODEC_ID_AV1:
        entry.format = "av01";
        if (!extra.empty() && (extra[0] & 0x80)) entry.boxes.emplace_back("av1C", extra);
        break;
    case AV_CODEC_ID_VP9: entry.format = "vp09"; break;
    case AV_CODEC_ID_MPEG4: entry.format = "mp4v"; break;
    case AV_CODEC_ID_MJPEG: entry.format = "jpeg"; break;
    default: break;
    }
    if (entry.format.empty()) entry.format = avcodec_get_name(par.codec_id);
    return entry;
}

// A time in the stream's base as ticks of its denominator.
std::optional<int64_t> ticksOf(int64_t time, AVRational base) {
    if (time == AV_NOPTS_VALUE) return std::nullopt;
    int64_t ticks = 0;
    if (__builtin_mul_overflow(time, int64_t{base.num}, &ticks)) throw TimeOverflow();
    return ticks;
}

// H.264 and HEVC with start codes (MPEG-TS, program streams, some Matroska
// and AVI) become the 4-byte length-prefixed samples and configuration
// record of a movie file, so that every reader meets one framing.
class StartCodeSamples {
public:
    // Nothing when the track needs no conversion.
    static std::optional<StartCodeSamples> of(const AVCodecParameters& par) {
        std::optional<AnnexB::Codec> codec;
        if (par.codec_id == AV_CODEC_ID_H264) codec = AnnexB::Codec::h264;
        if (par.codec_id == AV_CODEC_ID_HEVC) codec = AnnexB::Codec::hevc;
        if (!codec) return std::nullopt;
        std::span<const uint8_t> extra(par.extradata, static_cast<size_t>(std::max(par.extradata_size, 0)));
        if (!extra.empty() && AnnexB::isConfigurationRecord(extra, *codec)) return std::nullopt;
        StartCodeSamples out;
        out.codec_ = *codec;
        out.parameterSets_.assign(extra.begin(), extra.end());
        return out;
    }

    // The sample as length-prefixed units; nothing when it is not start-coded.
    std::optional<std::vector<uint8_t>> converted(std::span<const uint8_t> packet) {
        auto sample = AnnexB::sampleWithFourByteLengths(packet, std::nullopt);
        if (sample && !record_) {
            // The parameter sets the first pictures carry, when the
            // container has none of its own.
            parameterSets_.insert(parameterSets_.end(), packet.begin(), packet.end());
            const auto units = AnnexB::units(parameterSets_);
            record_ = AnnexB::configuration(units, codec_);
            if (record_ || parameterSets_.size() > maxSearchedBytes) parameterSets_.clear();
        }
        return sample;
    }

    // The entry of the converted track; nothing without parameter sets.
    std::optional<MovieSampleEntry> entry(const MovieSampleEntry& from) const {
        if (!record_) return std::nullopt;
        MovieSampleEntry e = from;
        e.format = codec_ == AnnexB::Codec::h264 ? "avc1" : "hvc1";
        e.boxes = {{codec_ == AnnexB::Codec::h264 ? "avcC" : "hvcC", *record_}};
        return e;
    }
    const std::optional<std::vector<uint8_t>>& record() const { return record_; }

private:
    static constexpr size_t maxSearchedBytes = size_t{8} << 20;
    AnnexB::Codec codec_ = AnnexB::Codec::h264;
    std::vector<uint8_t> parameterSets_;
    std::optional<std::vector<uint8_t>> record_;
};

// Where the packets of a file stop, against what its header promised: a
// file cut short loses its last packets without an error from the demuxer.
class PacketEnds {
public:
    explicit PacketEnds(int64_t fileSize) : tailFrom_(fileSize - std::min(tailBytes, fileSize / 10)) {}

    void note(const AVPacket& p, AVRational base) {
        // Damage inside the file (a join, a lost transport packet) is the
        // decoder's to bridge; at its end the file was cut.
        if ((p.flags & AV_PKT_FLAG_CORRUPT) && (p.pos < 0 || p.pos >= tailFrom_)) damaged_ = true;
        int64_t at = p.pts != AV_NOPTS_VALUE ? p.pts : p.dts;
        if (at == AV_NOPTS_VALUE || base.num <= 0 || base.den <= 0) return;
        const int64_t end = av_rescale_q(at, base, AV_TIME_BASE_Q);
        const int64_t length = p.duration > 0 ? av_rescale_q(p.duration, base, AV_TIME_BASE_Q) : 0;
        if (end > INT64_MAX / 2 || end < INT64_MIN / 2 || length > INT64_MAX / 4) return;
        endUs_ = std::max(endUs_, end + length);
    }

    bool cutShort(const AVFormatContext& format) const {
        // A packet that broke off mid-way (MPEG-TS), in any stream.
        if (damaged_) return true;
        // A length the header states (Matroska, AVI), not one guessed from
        // the file's end or its bit rate.
        if (format.duration_estimation_method != AVFMT_DURATION_FROM_STREAM || format.duration == AV_NOPTS_VALUE ||
            format.duration <= 0 || endUs_ == INT64_MIN) {
            return false;
        }
        const int64_t start = format.start_time != AV_NOPTS_VALUE ? format.start_time : 0;
        const int64_t slack = std::max<int64_t>(shortfallUs, format.duration / 50);
        return endUs_ - start + slack < format.duration;
    }

private:
    // What the last packets may fall short of the stated length by: muxers
    // round it, and a last frame's length may go unsaid.
    static constexpr int64_t shortfallUs = 250'000;
    // Where a last packet may start: a few large pictures before the end.
    static constexpr int64_t tailBytes = int64_t{4} << 20;
    int64_t tailFrom_ = 0;
    bool damaged_ = false;
    int64_t endUs_ = INT64_MIN;
};

// The file opened with its video stream checked; both readers of the
// track open it so, and so meet the same packets.
FFmpeg::Format opened(const std::filesystem::path& url, size_t stream) {
    FFmpeg::Format format;
    if (FFmpeg::openInput(url, MediaAsset::decodableFormats(), format) < 0) throw unopenable(url);
    if (avformat_find_stream_info(format.get(), nullptr) < 0) throw unopenable(url);
    if (stream >= format->nb_streams || format->streams[stream]->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) {
        throw EngineFailure::unsupportedFormat(nameOf(url) + " has no video that can be opened.");
    }
    const AVStream* st = format->streams[stream];
    if (st->time_base.num <= 0 || st->time_base.den <= 0 || st->codecpar->width <= 0 || st->codecpar->height <= 0) {
        throw unopenable(url);
    }
    return format;
}

bool isSampleOf(const AVPacket& p, size_t stream) { return p.stream_index == static_cast<int>(stream) && p.size > 0; }

PacketTimes::Packet timesOf(const AVPacket& p, AVRational base) {
    return {ticksOf(p.pts, base), ticksOf(p.dts, base), p.duration > 0 ? *ticksOf(p.duration, base) : 0};
}

} // namespace

std::optional<TickTime> DemuxedTrack::firstShown(const std::filesystem::path& url, size_t stream) {
    FFmpeg::Format format = opened(url, stream);
    const AVRational base = format->streams[stream]->time_base;
    std::vector<PacketTimes::Packet> times;
    auto packet = FFmpeg::packet();
    constexpr uint64_t cancelCheckEvery = 4096;
    uint64_t seen = 0;
    for (;;) {
        const int status = av_read_frame(format.get(), packet.get());
        if (status == AVERROR(ENOMEM)) throw std::bad_alloc();
        // Damage further on is the picture road's to refuse; the start lies
        // in the packets before it.
        if (status < 0 || times.size() >= VideoOpener::maxSamples) break;
        if (isSampleOf(*packet, stream)) times.push_back(timesOf(*packet, base));
        av_packet_unref(packet.get());
        // The sound's readers wait on this pass over the whole file.
        if (++seen % cancelCheckEvery == 0) Task::checkCancellation();
    }
    const auto first = PacketTimes::firstShown(times);
    if (!first) return std::nullopt;
    return TickTime{*first, base.den};
}

DemuxedTrack DemuxedTrack::read(const std::filesystem::path& url, size_t stream) {
    FFmpeg::Format format = opened(url, stream);
    int status = 0;
    const AVStream* st = format->streams[stream];
    const AVCodecParameters& par = *st->codecpar;
    const AVRational base = st->time_base;

    DemuxedTrack out;
    out.track = std::make_shared<VideoTrack>();
    VideoTrack& track = *out.track;
    MovieTrack& mt = track.movie;
    mt.trackId = static_cast<uint32_t>(stream + 1);
    mt.handler = "vide";
    mt.width = par.width;
    mt.height = par.height;
    // The numerator is folded into the ticks, so every time of the stream
    // is a whole number of them.
    mt.mediaTimescale = static_cast<uint32_t>(base.den);
    mt.sampleEntries.push_back(entryFor(par));
    track.codec = VideoTrack::Codec{par.codec_id, std::vector<uint8_t>(par.extradata, par.extradata + std::max(par.extradata_size, 0))};
    out.naturalSize = {static_cast<double>(par.width), static_cast<double>(par.height)};
    size_t sideSize = 0;
    // The display matrix is laid out as a movie track header's.
    if (const uint8_t* side = av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, &sideSize);
        side && sideSize >= 9 * sizeof(int32_t)) {
        int32_t m[9];
        std::memcpy(m, side, sizeof m);
        out.transform = {m[0] / 65536.0, m[1] / 65536.0, m[3] / 65536.0, m[4] / 65536.0, m[6] / 65536.0, m[7] / 65536.0};
    }
    if (par.color_primaries != AVCOL_PRI_UNSPECIFIED || par.color_trc != AVCOL_TRC_UNSPECIFIED ||
        par.color_space != AVCOL_SPC_UNSPECIFIED) {
        out.color = ColorTags::described(par.color_primaries, par.color_trc, par.color_space,
                                         par.color_range == AVCOL_RANGE_JPEG);
    }

    std::optional<MovieFile> source;
    try {
        source.emplace(url);
    } catch (...) {
        throw EngineFailure::sourceUnavailable(nameOf(url) + " can't be read.");
    }
    std::optional<SampleStore> store;
    std::vector<uint8_t> window;
    std::vector<PacketTimes::Packet> times;
    auto& samples = track.samples;
    auto packet = FFmpeg::packet();
    PacketEnds ends(source->size());
    auto startCoded = StartCodeSamples::of(par);
    for (;;) {
        status = av_read_frame(format.get(), packet.get());
        if (status == AVERROR_EOF) break;
        if (status == AVERROR(ENOMEM)) throw std::bad_alloc();
        if (status < 0) throw MediaFailure::cutShort(url);
        const AVPacket& p = *packet;
        // Every stream is read to see where the file's packets stop.
        if (p.stream_index >= 0 && static_cast<unsigned>(p.stream_index) < format->nb_streams) {
            ends.note(p, format->streams[p.stream_index]->time_base);
        }
        if (!isSampleOf(p, stream)) {
            av_packet_unref(packet.get());
            continue;
        }
        if (samples.size() >= VideoOpener::maxSamples) throw unopenable(url);
        times.push_back(timesOf(p, base));
        MovieSample s;
        s.size = static_cast<uint32_t>(p.size);
        s.isSync = p.flags & AV_PKT_FLAG_KEY;
        std::optional<std::vector<uint8_t>> framed;
        if (startCoded) {
            framed = startCoded->converted(std::span<const uint8_t>(p.data, static_cast<size_t>(p.size)));
            if (!framed) throw EngineFailure::unsupportedFormat(nameOf(url) + " uses a video format that can't be decoded.");
            s.size = static_cast<uint32_t>(framed->size());
        }
        std::optional<int64_t> at = store || framed ? std::nullopt : verbatimOffset(*source, p, window);
        if (!at && !store) {
            // One track reads one file: what was found in place moves too.
            store.emplace();
            for (auto& before : samples) {
                StoredSamples::Entry entry{before.offset, before.size};
                auto bytes = StoredSamples::read(std::span(&entry, 1), *source);
                before.offset = store->append(bytes.data(), bytes.size());
            }
        }
        if (at) s.offset = *at;
        else if (framed) s.offset = store->append(framed->data(), framed->size());
        else s.offset = store->append(p.data, static_cast<size_t>(p.size));
        samples.push_back(s);
        av_packet_unref(packet.get());
    }
    if (ends.cutShort(*format)) throw MediaFailure::cutShort(url);
    if (startCoded) {
        auto entry = startCoded->entry(mt.sampleEntries.front());
        if (!entry) throw EngineFailure::unsupportedFormat(nameOf(url) + " uses a video format that can't be decoded.");
        mt.sampleEntries.front() = std::move(*entry);
        track.codec->extradata = *startCoded->record();
    }
    const auto cleaned = PacketTimes::clean(times);
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i].decodeTime = cleaned[i].decode;
        samples[i].compositionOffset = cleaned[i].presentation - cleaned[i].decode;
        samples[i].duration = cleaned[i].duration;
    }
    mt.mediaDuration = TrackTimes::mediaEnd(samples);
    if (store) track.bytes = store->finish(url);
    return out;
}

} // namespace korvel
