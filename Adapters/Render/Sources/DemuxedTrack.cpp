#include "Adapters/Render/Sources/DemuxedTrack.hpp"

#include "Adapters/Files/FileName.hpp"
#include "Adapters/Files/ProcessTempFile.hpp"
#include "Adapters/Media/FFmpeg.hpp"
#include "Adapters/Media/MediaFailure.hpp"
#include "Adapters/Media/MovieFile.hpp"
#include "Adapters/Media/StoredSamples.hpp"
#include "Adapters/Media/SystemError.hpp"
#include "Adapters/Render/Sources/ColorTags.hpp"
#include "Adapters/Render/Sources/VideoOpener.hpp"
#include "Core/Time.hpp"
#include "Core/Timeline/PacketTimes.hpp"
#include "Core/Timeline/TrackTimes.hpp"

extern "C" {
#include <libavutil/display.h>
}

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace korvel {

namespace {

EngineFailure unopenable(const std::filesystem::path& url) {
    return EngineFailure::unsupportedFormat(nameOf(url) + " is in a format that can't be opened.");
}

// How far after a packet's position its bytes may start: past the block or
// chunk header that Matroska and AVI put before them.
constexpr int64_t headerRoom = 64;

// Packets whose bytes are not in the source as they are, in one scratch
// file. It is removed as soon as it is open, so nothing outlives the reader
// even when the process dies.
class SampleStore {
public:
    SampleStore() {
        ProcessTempFile::Scoped name(ProcessTempFile::url("samples", "bin", ProcessTempFile::defaultFolder()));
        fd_ = ::open(name.path().c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd_ < 0) throw SystemError::posix(errno, "create " + name.path().string());
    }
    ~SampleStore() {
        if (fd_ >= 0) ::close(fd_);
    }
    SampleStore(const SampleStore&) = delete;
    SampleStore& operator=(const SampleStore&) = delete;

    // Where the bytes now lie in the store. Throws SystemError.
    int64_t append(const uint8_t* data, size_t size) {
        const int64_t at = end_;
        size_t done = 0;
        while (done < size) {
            ssize_t n = ::write(fd_, data + done, size - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) throw SystemError::posix(n < 0 ? errno : ENOSPC, "write the samples of a video");
            done += static_cast<size_t>(n);
        }
        end_ += static_cast<int64_t>(size);
        return at;
    }

    // The store for reading, named `url` in messages.
    std::shared_ptr<const MovieFile> finish(const std::filesystem::path& url) {
        int fd = fd_;
        fd_ = -1;
        return std::make_shared<const MovieFile>(fd, url);
    }

private:
    int fd_ = -1;
    int64_t end_ = 0;
};

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

} // namespace

DemuxedTrack DemuxedTrack::read(const std::filesystem::path& url, size_t stream) {
    FFmpeg::prepare();
    AVDictionary* options = nullptr;
    av_dict_set(&options, "format_whitelist", MediaAsset::decodableFormats(), 0);
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    AVFormatContext* raw = nullptr;
    const std::string location = "file:" + url.string();
    int status = avformat_open_input(&raw, location.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (status < 0) throw unopenable(url);
    FFmpeg::Format format(raw);
    if (avformat_find_stream_info(format.get(), nullptr) < 0) throw unopenable(url);
    if (stream >= format->nb_streams || format->streams[stream]->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) {
        throw EngineFailure::unsupportedFormat(nameOf(url) + " has no video that can be opened.");
    }
    for (unsigned i = 0; i < format->nb_streams; ++i)
        if (i != stream) format->streams[i]->discard = AVDISCARD_ALL;
    const AVStream* st = format->streams[stream];
    const AVCodecParameters& par = *st->codecpar;
    const AVRational base = st->time_base;
    if (base.num <= 0 || base.den <= 0 || par.width <= 0 || par.height <= 0) throw unopenable(url);

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
    for (;;) {
        status = av_read_frame(format.get(), packet.get());
        if (status == AVERROR_EOF) break;
        if (status == AVERROR(ENOMEM)) throw std::bad_alloc();
        if (status < 0) throw MediaFailure::cutShort(url);
        const AVPacket& p = *packet;
        if (p.stream_index != static_cast<int>(stream) || p.size <= 0) {
            av_packet_unref(packet.get());
            continue;
        }
        if (p.flags & AV_PKT_FLAG_CORRUPT) throw MediaFailure::cutShort(url);
        if (samples.size() >= VideoOpener::maxSamples) throw unopenable(url);
        times.push_back({ticksOf(p.pts, base), ticksOf(p.dts, base), p.duration > 0 ? *ticksOf(p.duration, base) : 0});
        MovieSample s;
        s.size = static_cast<uint32_t>(p.size);
        s.isSync = p.flags & AV_PKT_FLAG_KEY;
        std::optional<int64_t> at = store ? std::nullopt : verbatimOffset(*source, p, window);
        if (!at && !store) {
            // One track reads one file: what was found in place moves too.
            store.emplace();
            for (auto& before : samples) {
                StoredSamples::Entry entry{before.offset, before.size};
                auto bytes = StoredSamples::read(std::span(&entry, 1), *source);
                before.offset = store->append(bytes.data(), bytes.size());
            }
        }
        s.offset = at ? *at : store->append(p.data, static_cast<size_t>(p.size));
        samples.push_back(s);
        av_packet_unref(packet.get());
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
