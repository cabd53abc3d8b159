#include "Adapters/Vision/DemuxedVideo.hpp"

#include "Adapters/Media/FFmpeg.hpp"
#include "Adapters/Media/MediaAsset.hpp"
#include "Adapters/Media/SystemError.hpp"
#include "Core/Jobs.hpp"

extern "C" {
#include <libavutil/display.h>
}

#include <algorithm>
#include <climits>

namespace korvel {

namespace {

EngineFailure unreadableTrack() { return EngineFailure::unsupportedFormat("This video track cannot be read."); }

FFmpeg::Format openFormat(const std::filesystem::path& url, int stream) {
    FFmpeg::prepare();
    AVDictionary* options = nullptr;
    av_dict_set(&options, "format_whitelist", MediaAsset::decodableFormats(), 0);
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    AVFormatContext* raw = nullptr;
    const std::string location = "file:" + url.string();
    int status = avformat_open_input(&raw, location.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (status < 0) throw SystemError::ffmpeg(status, "open " + url.filename().string());
    FFmpeg::Format format(raw);
    status = avformat_find_stream_info(format.get(), nullptr);
    if (status < 0) throw SystemError::ffmpeg(status, "read the tracks of " + url.filename().string());
    if (stream < 0 || static_cast<unsigned>(stream) >= format->nb_streams ||
        format->streams[stream]->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) {
        throw unreadableTrack();
    }
    for (unsigned i = 0; i < format->nb_streams; ++i)
        if (static_cast<int>(i) != stream) format->streams[i]->discard = AVDISCARD_ALL;
    return format;
}

// A time in the stream's base as ticks of its denominator; nothing when it
// has none or would overflow.
std::optional<int64_t> ticksOf(int64_t time, AVRational base) {
    if (time == AV_NOPTS_VALUE) return std::nullopt;
    int64_t ticks = 0;
    if (__builtin_mul_overflow(time, int64_t{base.num}, &ticks)) return std::nullopt;
    return ticks;
}

bool usableBase(AVRational base) { return base.num > 0 && base.den > 0; }

} // namespace

DemuxedVideo DemuxedVideo::open(const std::filesystem::path& url, int stream) {
    FFmpeg::Format format = openFormat(url, stream);
    const AVStream* st = format->streams[stream];
    const AVCodecParameters* par = st->codecpar;
    if (!avcodec_find_decoder(par->codec_id) || par->width <= 0 || par->height <= 0 || !usableBase(st->time_base)) {
        throw unreadableTrack();
    }
    DemuxedVideo video;
    video.stream = stream;
    video.naturalSize = {static_cast<double>(par->width), static_cast<double>(par->height)};
    size_t sideSize = 0;
    // The display matrix is laid out as a movie track header's.
    if (const uint8_t* side = av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, &sideSize);
        side && sideSize >= 9 * sizeof(int32_t)) {
        const auto* m = reinterpret_cast<const int32_t*>(side);
        video.transform = {m[0] / 65536.0, m[1] / 65536.0, m[3] / 65536.0, m[4] / 65536.0, m[6] / 65536.0, m[7] / 65536.0};
    }

    const AVRational base = st->time_base;
    // A start before zero is sound's priming: the pictures keep their times.
    if (format->start_time != AV_NOPTS_VALUE && format->start_time > 0) {
        video.startTicks = ticksOf(av_rescale_q(format->start_time, AV_TIME_BASE_Q, base), base).value_or(0);
    }
    std::vector<int64_t> pts;
    int64_t end = INT64_MIN;
    bool lastHasDuration = false;
    auto packet = FFmpeg::packet();
    for (;;) {
        int status = av_read_frame(format.get(), packet.get());
        if (status == AVERROR_EOF) break;
        if (status < 0) throw SystemError::ffmpeg(status, "read the frames of " + url.filename().string());
        if (packet->stream_index == stream) {
            auto shown = ticksOf(packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts, base);
            if (shown) {
                *shown -= video.startTicks;
                pts.push_back(*shown);
                auto length = packet->duration > 0 ? ticksOf(packet->duration, base) : std::nullopt;
                lastHasDuration = length.has_value();
                end = std::max(end, *shown + (length ? *length : 0));
            }
        }
        av_packet_unref(packet.get());
    }
    if (pts.empty()) throw unreadableTrack();
    std::stable_sort(pts.begin(), pts.end());
    // Without a packet duration the last frame lasts as long as the mean one.
    if (!lastHasDuration && pts.size() > 1) {
        end = std::max(end, pts.back() + (pts.back() - pts.front()) / static_cast<int64_t>(pts.size() - 1));
    }
    video.table = PTSTable(base.den, std::move(pts), end);
    return video;
}

int DemuxedVideo::walk(const std::filesystem::path& url, std::optional<int64_t> fromTicks,
                       const std::function<bool(const AVFrame&, int64_t ticks)>& take,
                       const std::function<void()>& checkpoint, bool rough) const {
    FFmpeg::Format format = openFormat(url, stream);
    AVStream* st = format->streams[stream];
    const AVRational base = st->time_base;
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    if (!codec) return AVERROR_DECODER_NOT_FOUND;
    FFmpeg::Codec decoder(avcodec_alloc_context3(codec));
    if (!decoder) throw std::bad_alloc();
    if (avcodec_parameters_to_context(decoder.get(), st->codecpar) < 0) return AVERROR_INVALIDDATA;
    decoder->pkt_timebase = base;
    // Threads only pay off on large pictures.
    decoder->thread_count = st->codecpar->width * st->codecpar->height >= 1280 * 720 ? 0 : 1;
    if (rough) decoder->skip_loop_filter = AVDISCARD_ALL;
    if (avcodec_open2(decoder.get(), codec, nullptr) < 0) return AVERROR_DECODER_NOT_FOUND;
    // A failed seek leaves the reader at the start; the caller skips what it
    // has already seen.
    if (fromTicks && *fromTicks > 0) {
        av_seek_frame(format.get(), stream, (*fromTicks + startTicks) / base.num, AVSEEK_FLAG_BACKWARD);
    }

    int lastError = 0;
    auto frame = FFmpeg::frame();
    auto packet = FFmpeg::packet();
    // Answers false once `take` stopped.
    auto drain = [&] {
        for (;;) {
            int status = avcodec_receive_frame(decoder.get(), frame.get());
            if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return true;
            if (status < 0) {
                lastError = status;
                return true;
            }
            auto ticks = ticksOf(frame->best_effort_timestamp != AV_NOPTS_VALUE ? frame->best_effort_timestamp
                                                                                : frame->pts,
                                 base);
            bool goOn = !ticks || take(*frame, *ticks - startTicks);
            av_frame_unref(frame.get());
            if (!goOn) return false;
        }
    };
    for (;;) {
        if (checkpoint) checkpoint();
        int status = av_read_frame(format.get(), packet.get());
        if (status == AVERROR_EOF) break;
        if (status < 0) throw SystemError::ffmpeg(status, "read the frames of " + url.filename().string());
        if (packet->stream_index != stream) {
            av_packet_unref(packet.get());
            continue;
        }
        status = avcodec_send_packet(decoder.get(), packet.get());
        if (status == AVERROR(EAGAIN)) {
            if (!drain()) return lastError;
            status = avcodec_send_packet(decoder.get(), packet.get());
        }
        av_packet_unref(packet.get());
        // A damaged packet: later ones may still decode.
        if (status < 0) lastError = status;
        if (!drain()) return lastError;
    }
    avcodec_send_packet(decoder.get(), nullptr);
    drain();
    return lastError;
}

} // namespace korvel
