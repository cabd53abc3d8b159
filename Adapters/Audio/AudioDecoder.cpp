#include "Adapters/Audio/AudioDecoder.hpp"

#include "Adapters/Audio/DirectAudioFile.hpp"

#include "Adapters/Media/MediaFailure.hpp"
#include "Adapters/Media/FFmpeg.hpp"
#include "Adapters/Media/MediaAsset.hpp"
#include "Adapters/Media/SystemError.hpp"
#include "Adapters/Render/Sources/VideoOpener.hpp"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace korvel::AudioDecoder {

namespace {

constexpr std::string_view what = "This audio track";
constexpr int progressEvery = 64;
// Up to an hour is reserved up front; longer sounds grow as they decode.
constexpr int64_t reservationFrames = 3600 * PCMAudio::sampleRate;
// The converter's own limit; a header that claims more is no sound we can map.
constexpr int maximumSourceChannels = 64;
// Real sound is recorded at 8 kHz or more. A header claiming a few hertz
// would turn a tiny file into hours of output; rates past the fastest
// studio rate are no sound either.
constexpr int minimumSourceRate = 2000;
constexpr int maximumSourceRate = 768'000;
// Decoded samples stay within +24 dBFS: far above any real over, yet
// squares summed over hours of them stay finite in float, so meters, mixes
// and the AAC encoder never meet an infinity.
constexpr float sampleBound = 16.0f;

[[noreturn]] void unreadable() { throw EngineFailure::unsupportedFormat("This audio track cannot be read."); }

struct ResampleFreer {
    void operator()(SwrContext* s) const { swr_free(&s); }
};
using Resampler = std::unique_ptr<SwrContext, ResampleFreer>;

[[noreturn]] void damaged() {
    throw MediaFailure::reading(
        std::make_exception_ptr(SystemError::ffmpeg(AVERROR_INVALIDDATA, "decode the audio track")), what);
}

// A sound being assembled as planar channels at the output rate.
struct Output {
    std::vector<std::vector<float>> channels;
    int64_t frames() const { return channels.empty() ? 0 : static_cast<int64_t>(channels[0].size()); }
};

// How one track is read: at what rate and channel count, how long it is
// said to be, and whether it goes the direct way (samples as they come, no
// gap filling, at most `deliveredLimit` frames handed out).
struct TrackRoute {
    int stream = -1;
    int rate = 0, channels = 0;
    int64_t durationFrames = 0;
    bool direct = false;
    int64_t directDurationUs = 0;
    int64_t deliveredLimit = -1;
    // Where the file's picture starts on the container's clock, when the
    // container places its tracks by their times alone.
    std::optional<TickTime> pictureStart = std::nullopt;
};

class TrackDecoder {
public:
    // The direct route gives way before every buffer and reports at most
    // once per percent. With a sink, pieces leave as they are decoded and
    // nothing is kept.
    TrackDecoder(AVFormatContext* format, const fs::path& url, const TrackRoute& route, const Piece* sink = nullptr)
        : format_(format), stream_(format->streams[route.stream]), url_(url), rate_(route.rate),
          channels_(route.channels), durationFrames_(route.durationFrames), direct_(route.direct),
          directDurationUs_(route.directDurationUs), deliveredLimit_(route.deliveredLimit),
          pictureStart_(route.pictureStart), sink_(sink) {}
    ~TrackDecoder() { av_channel_layout_uninit(&inLayout_); }
    TrackDecoder(const TrackDecoder&) = delete;
    TrackDecoder& operator=(const TrackDecoder&) = delete;

    // Whether pieces already left through the sink: the sound can't be taken back.
    bool delivered() const { return produced_ > 0 && sink_ != nullptr; }

    Output run(const JobContext& job) {
        const AVCodecParameters* parameters = stream_->codecpar;
        const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
        if (!codec || parameters->ch_layout.nb_channels > maximumSourceChannels ||
            (parameters->sample_rate != 0 && !readableRate(parameters->sample_rate)) || !readableStreamInfo()) {
            unreadable();
        }
        holdsItsSamples();
        const bool widened = inWideContainers(parameters);
        if (widened) codec = avcodec_find_decoder(AV_CODEC_ID_PCM_S32LE);
        FFmpeg::Codec context(avcodec_alloc_context3(codec));
        if (!context) throw std::bad_alloc();
        check(avcodec_parameters_to_context(context.get(), parameters), "read the audio format");
        if (widened) {
            context->codec_id = AV_CODEC_ID_PCM_S32LE;
            context->bits_per_coded_sample = 32;
        }
        context->pkt_timebase = stream_->time_base;
        check(avcodec_open2(context.get(), codec, nullptr), "open the audio decoder");
        decoder_ = context.get();

        // Reservations and zero-fills follow the declared length, never a
        // bigger number from a damaged header.
        limitFrames_ = PCMAudio::maximumFrames;
        if (durationFrames_ > 0) limitFrames_ = std::min(limitFrames_, durationFrames_ + PCMAudio::sampleRate);
        out_.channels.assign(static_cast<size_t>(channels_), {});
        const int64_t reserve = sink_ ? 0 : std::min(durationFrames_, reservationFrames);
        if (reserve > 0) {
            for (auto& c : out_.channels) c.reserve(static_cast<size_t>(reserve));
        }

        auto packet = FFmpeg::packet();
        auto frame = FFmpeg::frame();
        held_ = FFmpeg::frame();
        if (!packet || !frame || !held_) throw std::bad_alloc();
        bool draining = false;
        while (true) {
            if (!draining) {
                int status = av_read_frame(format_, packet.get());
                if (status == AVERROR_EOF) {
                    draining = true;
                    check(avcodec_send_packet(decoder_, nullptr), "decode the audio track");
                } else {
                    check(status, "read the audio track");
                    if (packet->stream_index != stream_->index) {
                        av_packet_unref(packet.get());
                        continue;
                    }
                    status = avcodec_send_packet(decoder_, packet.get());
                    av_packet_unref(packet.get());
                    if (status < 0 && status != AVERROR(EAGAIN)) refuse(status);
                }
            }
            while (true) {
                int status = avcodec_receive_frame(decoder_, frame.get());
                if (status == AVERROR(EAGAIN)) break;
                if (status == AVERROR_EOF) {
                    if (refused_ > 0 && refused_ >= buffers_) check(refusal_, "decode the audio track");
                    release(AV_NOPTS_VALUE);
                    flush();
                    Task::checkCancellation();
                    if (direct_) {
                        job.report({EngineProgress::Phase::analyze, EngineProgress::Unit::microseconds,
                                    directDurationUs_, directDurationUs_});
                    }
                    return std::move(out_);
                }
                if (status == AVERROR_INVALIDDATA) {
                    refuse(status);
                    continue;
                }
                check(status, "decode the audio track");
                ++buffers_;
                if (direct_) {
                    directProgress(job);
                } else if (buffers_ % progressEvery == 0) {
                    Task::checkCancellation();
                    job.giveWay();
                    if (durationFrames_ > 0) {
                        const int64_t total = durationFrames_ * 1'000'000 / rate_;
                        const int64_t done = produced_ * 1'000'000 / rate_;
                        job.report({EngineProgress::Phase::analyze, EngineProgress::Unit::microseconds,
                                    std::min(done, total), total});
                    }
                }
                take(frame.get());
                av_frame_unref(frame.get());
            }
        }
    }

private:
    static void check(int status, std::string_view doing) {
        if (status < 0) throw SystemError::ffmpeg(status, doing);
    }

    // FFmpeg takes a WAV's 24 valid bits in 32-bit containers for 24-bit
    // floats. They are integers, left-justified: read as 32-bit ones they
    // are exact.
    static bool inWideContainers(const AVCodecParameters* p) {
        const int channels = p->ch_layout.nb_channels;
        const bool twentyFour = p->codec_id == AV_CODEC_ID_PCM_F24LE || p->codec_id == AV_CODEC_ID_PCM_S24LE;
        return twentyFour && channels > 0 && p->block_align == 4 * channels;
    }

    // A FLAC stream is stamped at its STREAMINFO's rate even where its frames
    // name their own, so a header claiming 1 Hz stamps every frame seconds
    // apart, and the gaps between them would be hours of silence.
    bool readableStreamInfo() const {
        const AVCodecParameters* p = stream_->codecpar;
        if (p->codec_id != AV_CODEC_ID_FLAC || !p->extradata || p->extradata_size < 13) return true;
        const uint8_t* info = p->extradata;
        const int rate = info[10] << 12 | info[11] << 4 | info[12] >> 4;
        return readableRate(rate);
    }

    // A damaged packet amid sound (a second file's tags where two were
    // joined) is left out, and the stamps after it keep the sound in place;
    // a track that refuses most of its packets is damaged. The direct route
    // fills no gaps, so there it gives up.
    void refuse(int status) {
        if (status != AVERROR_INVALIDDATA || direct_) check(status, "decode the audio track");
        ++refused_;
        refusal_ = status;
    }

    // A movie file's index places every sample up front: samples it places
    // past the end of the file are sound the file no longer holds, which
    // the demuxer would otherwise end early on and leave as silence.
    void holdsItsSamples() const {
        if (!format_->iformat || std::string_view(format_->iformat->name).substr(0, 3) != "mov" || !format_->pb) return;
        const int64_t size = avio_size(format_->pb);
        if (size < 0) return;
        const int count = avformat_index_get_entries_count(stream_);
        for (int i = 0; i < count; ++i) {
            const AVIndexEntry* entry = avformat_index_get_entry(stream_, i);
            if (entry && entry->pos + entry->size > size) throw MediaFailure::cutShort(url_);
        }
    }

    // Mono and stereo are mapped by our own code; wider layouts are mixed
    // down by the converter.
    int convertedChannels(int source) const { return source <= 2 ? source : std::min(channels_, 2); }

    void directProgress(const JobContext& job) {
        job.giveWay();
        Task::checkCancellation();
        const int64_t done = std::min(directDurationUs_, produced_ * 1'000'000 / rate_);
        if (directDurationUs_ > 0) {
            const int64_t percent = done * 100 / directDurationUs_;
            if (percent > lastPercent_) {
                lastPercent_ = percent;
                job.report({EngineProgress::Phase::analyze, EngineProgress::Unit::microseconds, done, directDurationUs_});
            }
        } else if (lastPercent_ < 0) {
            lastPercent_ = 0;
            job.report({EngineProgress::Phase::analyze, EngineProgress::Unit::microseconds, done, directDurationUs_});
        }
    }

    bool sameInput(const AVFrame* frame) const {
        return resampler_ && frame->sample_rate == inRate_ && frame->format == inFormat_ &&
               av_channel_layout_compare(&frame->ch_layout, &inLayout_) == 0;
    }

    void setUp(const AVFrame* frame) {
        AVChannelLayout in{};
        if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || frame->ch_layout.nb_channels == 0) {
            av_channel_layout_default(&in, std::max(1, frame->ch_layout.nb_channels));
        } else {
            check(av_channel_layout_copy(&in, &frame->ch_layout), "read the channel layout");
        }
        const int converted = convertedChannels(in.nb_channels);
        inChannels_ = in.nb_channels;
        AVChannelLayout outLayout{};
        av_channel_layout_default(&outLayout, converted);
        SwrContext* raw = nullptr;
        int status = swr_alloc_set_opts2(&raw, &outLayout, AV_SAMPLE_FMT_FLTP, rate_, &in,
                                         static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0, nullptr);
        av_channel_layout_uninit(&in);
        av_channel_layout_uninit(&outLayout);
        check(status, "set up the audio converter");
        resampler_.reset(raw);
        // The high-quality resampler runs only when rates differ.
        if (frame->sample_rate != rate_) av_opt_set_int(raw, "resampler", SWR_ENGINE_SOXR, 0);
        check(swr_init(raw), "set up the audio converter");
        // The count of samples passed on so far follows the new rate.
        if (inRate_ > 0 && inRate_ != frame->sample_rate) passed_ = av_rescale(passed_, frame->sample_rate, inRate_);
        inRate_ = frame->sample_rate;
        inFormat_ = frame->format;
        av_channel_layout_uninit(&inLayout_);
        check(av_channel_layout_copy(&inLayout_, &frame->ch_layout), "read the channel layout");
        converted_ = converted;
    }

    // A NaN or infinity would poison every sum it enters downstream (mix,
    // loudness, the AAC encoder, which refuses it); it becomes silence here.
    // Finite samples are held to the bound for the same reason: their
    // squares overflow as surely.
    static float bounded(float x) { return std::isfinite(x) ? std::clamp(x, -sampleBound, sampleBound) : 0.0f; }
    static double bounded(double x) {
        return std::isfinite(x) ? std::clamp(x, -double(sampleBound), double(sampleBound)) : 0.0;
    }
    static void bound(float* samples, size_t count) {
        for (size_t i = 0; i < count; ++i) samples[i] = bounded(samples[i]);
    }
    // Only float input can leave the bound; integer samples are within full scale.
    void boundedSamples(AVFrame* frame) {
        const auto format = static_cast<AVSampleFormat>(frame->format);
        const AVSampleFormat packed = av_get_packed_sample_fmt(format);
        if (packed != AV_SAMPLE_FMT_FLT && packed != AV_SAMPLE_FMT_DBL) return;
        const int planes = av_sample_fmt_is_planar(format) ? frame->ch_layout.nb_channels : 1;
        const auto count = static_cast<size_t>(frame->nb_samples) *
                           static_cast<size_t>(av_sample_fmt_is_planar(format) ? 1 : frame->ch_layout.nb_channels);
        bool clean = true;
        for (int p = 0; p < planes && clean; ++p) {
            if (packed == AV_SAMPLE_FMT_FLT) {
                const auto* x = reinterpret_cast<const float*>(frame->extended_data[p]);
                for (size_t i = 0; i < count && clean; ++i) clean = bounded(x[i]) == x[i];
            } else {
                const auto* x = reinterpret_cast<const double*>(frame->extended_data[p]);
                for (size_t i = 0; i < count && clean; ++i) clean = bounded(x[i]) == x[i];
            }
        }
        if (clean) return;
        check(av_frame_make_writable(frame), "decode the audio track");
        for (int p = 0; p < planes; ++p) {
            if (packed == AV_SAMPLE_FMT_FLT) {
                bound(reinterpret_cast<float*>(frame->extended_data[p]), count);
            } else {
                auto* x = reinterpret_cast<double*>(frame->extended_data[p]);
                for (size_t i = 0; i < count; ++i) x[i] = bounded(x[i]);
            }
        }
    }

    // The buffer's stamp in samples at `rate`; none when it has none.
    int64_t stamp(const AVFrame* frame, int rate) const {
        const int64_t pts = frame->best_effort_timestamp;
        if (pts == AV_NOPTS_VALUE || direct_) return AV_NOPTS_VALUE;
        return av_rescale_q_rnd(pts, stream_->time_base, AVRational{1, rate},
                                static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
    }

    // The buffer's length as its container gave it, in stream time; 0 when unknown.
    static int64_t packetDuration(const AVFrame* frame) {
#if LIBAVUTIL_VERSION_MAJOR >= 58
        return frame->duration;
#else
        return frame->pkt_duration;
#endif
    }

    void take(AVFrame* frame) {
        if (frame->nb_samples <= 0 || frame->sample_rate <= 0) return;
        if (!readableRate(frame->sample_rate) || frame->ch_layout.nb_channels > maximumSourceChannels) unreadable();
        boundedSamples(frame);
        if (holding_) release(stamp(frame, inRate_));
        if (!sameInput(frame)) {
            // The old converter's tail leaves in its own layout before the
            // new one starts; the output keeps its channel count.
            flush();
            setUp(frame);
        }
        const int64_t at = stamp(frame, inRate_);
        // The first buffer is frame 0 wherever it is stamped: an MP3's first
        // frame comes stamped after the encoder delay the decoder already
        // trimmed. Only gaps between buffers are sound. Beside a picture the
        // picture's first frame is frame 0, as a player lines them up.
        if (!origin_ && at != AV_NOPTS_VALUE) {
            origin_ = true;
            const bool first = passed_ == 0;
            passed_ = at;
            if (pictureStart_ && first) startWithPicture(at);
        }
        heldLead_ = at == AV_NOPTS_VALUE ? 0 : at - passed_;
        // Where the container's own timeline has no hole before the buffer
        // (each packet starts where the one before it ends, by the durations
        // it gives them), stamps that run ahead of the samples are its
        // arithmetic at a rate the codec left (a raw stream switching rate).
        heldHole_ = INT64_MAX;
        const int64_t pts = frame->best_effort_timestamp;
        if (pts != AV_NOPTS_VALUE && lastEnd_ != AV_NOPTS_VALUE) {
            heldHole_ = av_rescale_q(pts - lastEnd_, stream_->time_base, AVRational{1, inRate_});
        }
        if (pts == AV_NOPTS_VALUE) {
            lastEnd_ = AV_NOPTS_VALUE;
        } else {
            const int64_t duration = packetDuration(frame);
            lastEnd_ = pts + (duration > 0 ? duration
                                           : av_rescale_q(frame->nb_samples, AVRational{1, frame->sample_rate},
                                                          stream_->time_base));
        }
        av_frame_move_ref(held_.get(), frame);
        holding_ = true;
    }

    // Sound stamped after the picture's start waits for it in silence;
    // sound before it is cut.
    void startWithPicture(int64_t at) {
        const int64_t start = av_rescale_q_rnd(pictureStart_->value, AVRational{1, pictureStart_->timescale},
                                               AVRational{1, inRate_},
                                               static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
        const int64_t lead = at - start;
        if (lead > 0) {
            if (produced_ + av_rescale(lead, rate_, inRate_) > limitFrames_) damaged();
            silence(lead);
        } else {
            cut_ = av_rescale(-lead, rate_, inRate_);
        }
    }

    // Passes the held buffer on. A buffer stamped after the samples before
    // it follows a gap only when the next buffer's stamp still runs ahead:
    // a codec whose packets differ in length (Vorbis at a block switch) is
    // stamped ahead for one packet and caught up by its own samples.
    void release(int64_t next) {
        if (!holding_) return;
        holding_ = false;
        const int count = held_->nb_samples;
        if (heldLead_ > 0 && next != AV_NOPTS_VALUE) {
            const int64_t gapIn = std::min({heldLead_, next - (passed_ + count), heldHole_});
            const int64_t gapOut = av_rescale(gapIn, rate_, inRate_);
            // Stamps in coarse units (Matroska and WebM count milliseconds)
            // are rounded: a gap shorter than one unit is that rounding.
            const int64_t unit = av_rescale_q_rnd(1, stream_->time_base, AVRational{1, rate_}, AV_ROUND_UP);
            if (gapOut > std::max<int64_t>(2, unit)) {
                if (produced_ + gapOut > limitFrames_) damaged();
                silence(gapIn);
                passed_ += gapIn;
            }
        }
        passed_ += count;
        convert(const_cast<const uint8_t**>(held_->extended_data), count);
        av_frame_unref(held_.get());
    }

    // The silence of a gap goes through the converter a piece at a time, so a
    // long gap costs no more memory than its output.
    void silence(int64_t frames) {
        constexpr int piece = 8192;
        uint8_t** planes = nullptr;
        const auto format = static_cast<AVSampleFormat>(inFormat_);
        check(av_samples_alloc_array_and_samples(&planes, nullptr, inChannels_, piece, format, 0),
              "fill a gap in the audio track");
        struct Freer {
            uint8_t** planes;
            ~Freer() {
                av_freep(&planes[0]);
                av_freep(&planes);
            }
        } freer{planes};
        av_samples_set_silence(planes, 0, piece, inChannels_, format);
        for (int64_t left = frames; left > 0; left -= piece) {
            Task::checkCancellation();
            convert(const_cast<const uint8_t**>(planes), static_cast<int>(std::min<int64_t>(left, piece)));
        }
    }

    void flush() {
        if (resampler_) convert(nullptr, 0);
    }

    void convert(const uint8_t** input, int count) {
        do {
            const int room = swr_get_out_samples(resampler_.get(), count);
            check(room, "convert the audio track");
            if (room == 0) return;
            scratch_.resize(static_cast<size_t>(converted_));
            std::vector<uint8_t*> planes;
            for (auto& s : scratch_) {
                s.resize(static_cast<size_t>(room));
                planes.push_back(reinterpret_cast<uint8_t*>(s.data()));
            }
            const int got = swr_convert(resampler_.get(), planes.data(), room, input, count);
            check(got, "convert the audio track");
            if (got == 0) return;
            // Resampling bounded input can still ring past the bound.
            for (auto& plane : scratch_) bound(plane.data(), static_cast<size_t>(got));
            append(got);
            // Draining repeats until the converter holds nothing more.
        } while (input == nullptr);
    }

    void append(int got) {
        if (produced_ + got > PCMAudio::maximumFrames) damaged();
        const auto from = static_cast<size_t>(std::min<int64_t>(cut_, got));
        cut_ -= static_cast<int64_t>(from);
        got -= static_cast<int>(from);
        // A direct stream hands out what the plan presents and no padding after it.
        if (deliveredLimit_ >= 0) got = static_cast<int>(std::clamp<int64_t>(deliveredLimit_ - produced_, 0, got));
        if (got == 0) return;
        produced_ += got;
        const auto n = static_cast<size_t>(got);
        const int have = converted_;
        if (sink_) {
            std::vector<std::span<const float>> planes;
            for (int c = 0; c < channels_; ++c) {
                if (channels_ == 1 && have == 2) {
                    mixed_.resize(n);
                    const float* l = scratch_[0].data() + from;
                    const float* r = scratch_[1].data() + from;
                    for (size_t i = 0; i < n; ++i) mixed_[i] = (l[i] + r[i]) * 0.5f;
                    planes.emplace_back(mixed_.data(), n);
                } else {
                    planes.emplace_back(scratch_[static_cast<size_t>(std::min(c, have - 1))].data() + from, n);
                }
            }
            (*sink_)(planes);
            return;
        }
        for (int c = 0; c < channels_; ++c) {
            auto& dst = out_.channels[static_cast<size_t>(c)];
            if (channels_ == 1 && have == 2) {
                const float* l = scratch_[0].data() + from;
                const float* r = scratch_[1].data() + from;
                const size_t base = dst.size();
                dst.resize(base + n);
                for (size_t i = 0; i < n; ++i) dst[base + i] = (l[i] + r[i]) * 0.5f;
            } else {
                const auto& src = scratch_[static_cast<size_t>(std::min(c, have - 1))];
                dst.insert(dst.end(), src.begin() + static_cast<std::ptrdiff_t>(from),
                           src.begin() + static_cast<std::ptrdiff_t>(from + n));
            }
        }
    }

    AVFormatContext* format_;
    AVStream* stream_;
    fs::path url_;
    AVCodecContext* decoder_ = nullptr;
    int rate_, channels_;
    int64_t durationFrames_;
    bool direct_ = false;
    int64_t directDurationUs_ = 0;
    int64_t deliveredLimit_ = -1;
    std::optional<TickTime> pictureStart_;
    // Output frames still to drop: sound from before the picture's start.
    int64_t cut_ = 0;
    bool origin_ = false;
    int64_t lastPercent_ = -1;
    int64_t limitFrames_ = 0;
    // Input samples passed to the converter, silence of gaps included, on
    // the stamps' scale.
    int64_t passed_ = 0;
    int64_t buffers_ = 0;
    int64_t refused_ = 0;
    int refusal_ = 0;
    int64_t produced_ = 0;
    const Piece* sink_;
    std::vector<float> mixed_;
    Resampler resampler_;
    int inRate_ = 0, inFormat_ = -1;
    AVChannelLayout inLayout_{};
    int inChannels_ = 0, converted_ = 0;
    // One buffer waits for the next one's stamp, which says whether a gap
    // comes before it.
    FFmpeg::Frame held_;
    bool holding_ = false;
    int64_t heldLead_ = 0, heldHole_ = INT64_MAX;
    // Where the last buffer ends on the container's timeline.
    int64_t lastEnd_ = AV_NOPTS_VALUE;
    std::vector<std::vector<float>> scratch_;
    Output out_;
};

FFmpeg::Format openFile(const fs::path& url) {
    // Everyday sound also comes in Ogg (Opus, Vorbis) and Matroska or WebM.
    static const std::string formats = std::string(MediaAsset::allFormats()) + ",ogg,matroska,webm";
    FFmpeg::Format format;
    int status = FFmpeg::openInput(url, formats.c_str(), format);
    if (status < 0) throw SystemError::ffmpeg(status, "open " + url.string());
    status = avformat_find_stream_info(format.get(), nullptr);
    if (status < 0) throw SystemError::ffmpeg(status, "read the tracks of " + url.string());
    return format;
}

// A moving picture beside the sound, in a container other than a movie
// file; cover art is no picture.
bool hasPicture(const AVFormatContext* format) {
    if (format->iformat && std::string_view(format->iformat->name).substr(0, 3) == "mov") return false;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream* s = format->streams[i];
        if (s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !(s->disposition & AV_DISPOSITION_ATTACHED_PIC)) return true;
    }
    return false;
}

struct StreamBroken {
    std::exception_ptr error;
};

// The first audio track alone; -1 when there is none.
int firstAudioTrack(AVFormatContext* format) {
    int stream = -1;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        if (format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            stream = static_cast<int>(i);
            break;
        }
    }
    for (unsigned s = 0; stream >= 0 && s < format->nb_streams; ++s) {
        if (static_cast<int>(s) != stream) format->streams[s]->discard = AVDISCARD_ALL;
    }
    return stream;
}

// The direct route on an opened demuxer, as read: nothing when it gives up.
std::optional<std::vector<std::vector<float>>> directRead(AVFormatContext* format, const fs::path& url,
                                                          const DirectAudioFile::Plan& plan, int rate, int channels,
                                                          const JobContext& job) {
    try {
        const int stream = firstAudioTrack(format);
        if (stream < 0) return std::nullopt;
        const TrackRoute route{.stream = stream, .rate = rate, .channels = channels,
                               .durationFrames = DirectAudioFile::expectedFrames(plan, rate), .direct = true,
                               .directDurationUs = plan.durationUs};
        return DirectAudioFile::held(plan, rate, TrackDecoder(format, url, route).run(job).channels);
    } catch (const Cancelled&) {
        throw;
    } catch (...) {
        return std::nullopt;
    }
}

// The direct route handing pieces out, at most the plan's length of them.
// False when it failed before handing any out (the general decoder takes
// over); a failure after that is a reading failure.
bool directStream(AVFormatContext* format, const fs::path& url, const DirectAudioFile::Plan& plan, int rate,
                  int channels, const JobContext& job, const Piece& piece) {
    std::optional<TrackDecoder> track;
    try {
        const int stream = firstAudioTrack(format);
        if (stream < 0) return false;
        const int64_t expected = DirectAudioFile::expectedFrames(plan, rate);
        const TrackRoute route{.stream = stream, .rate = rate, .channels = channels, .durationFrames = expected,
                               .direct = true, .directDurationUs = plan.durationUs,
                               .deliveredLimit = std::max<int64_t>(0, expected)};
        track.emplace(format, url, route, &piece);
        track->run(job);
        return true;
    } catch (const Cancelled&) {
        throw;
    } catch (...) {
        if (!track || !track->delivered()) return false;
        throw MediaFailure::reading(std::current_exception(), what);
    }
}

Output decode(const fs::path& url, int rate, int channels, const JobContext& job, const Piece* sink = nullptr) {
    struct stat st {};
    if (::stat(url.c_str(), &st) != 0) throw EngineFailure::sourceUnavailable("The file is not there anymore.");
    std::vector<int> streams;
    int64_t durationUs = 0;
    bool picture = false;
    // Opened once: the direct route and the first track read from it; only
    // a route that gave up or a track that failed opens the file again.
    FFmpeg::Format opened;
    try {
        opened = openFile(url);
        for (unsigned i = 0; i < opened->nb_streams; ++i) {
            if (opened->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) streams.push_back(static_cast<int>(i));
        }
        picture = hasPicture(opened.get());
        if (opened->duration != AV_NOPTS_VALUE && opened->duration > 0) durationUs = opened->duration;
    } catch (const EngineFailure&) {
        throw;
    } catch (...) {
        throw MediaFailure::reading(std::current_exception(), what);
    }
    if (streams.empty()) throw EngineFailure::invalidParams("This file has no audio track.");
    if (auto plan = DirectAudioFile::plan(url, rate, channels)) {
        if (sink) {
            if (directStream(opened.get(), url, *plan, rate, channels, job, *sink)) return {};
        } else if (auto samples = directRead(opened.get(), url, *plan, rate, channels, job)) {
            return Output{std::move(*samples)};
        }
        opened = FFmpeg::Format();
    }
    const int64_t expected = durationUs > 0 ? static_cast<int64_t>(static_cast<double>(durationUs) / 1e6 * rate) : 0;
    // The picture's start as the picture road finds it, so the two never
    // disagree; a movie file's edits place its tracks already.
    const std::optional<TickTime> pictureStart = picture ? VideoOpener::demuxedStart(url) : std::nullopt;

    for (size_t i = 0; i < streams.size(); ++i) {
        try {
            // A failed track leaves nothing behind for the next: each further
            // try reads from a fresh demuxer.
            FFmpeg::Format format = opened ? std::move(opened) : openFile(url);
            for (unsigned s = 0; s < format->nb_streams; ++s) {
                if (static_cast<int>(s) != streams[i]) format->streams[s]->discard = AVDISCARD_ALL;
            }
            const TrackRoute route{.stream = streams[i], .rate = rate, .channels = channels, .durationFrames = expected,
                                   .pictureStart = pictureStart};
            TrackDecoder track(format.get(), url, route, sink);
            try {
                return track.run(job);
            } catch (const Cancelled&) {
                throw;
            } catch (...) {
                // A streamed track that already handed out sound fails as it is.
                if (track.delivered()) throw StreamBroken{std::current_exception()};
                throw;
            }
        } catch (const Cancelled&) {
            throw;
        } catch (const StreamBroken& broken) {
            try {
                std::rethrow_exception(broken.error);
            } catch (const EngineFailure&) {
                throw;
            } catch (...) {
                throw MediaFailure::reading(std::current_exception(), what);
            }
        } catch (...) {
            if (i + 1 == streams.size()) throw MediaFailure::reading(std::current_exception(), what);
        }
    }
    unreadable();
}

} // namespace

std::optional<std::vector<std::vector<float>>> readDirect(const fs::path& url, const DirectAudioFile::Plan& plan,
                                                          int rate, int channels, const JobContext& job) {
    FFmpeg::Format format;
    try {
        format = openFile(url);
    } catch (...) {
        return std::nullopt;
    }
    return directRead(format.get(), url, plan, rate, channels, job);
}

PCMAudio read(const fs::path& url, int channels, const JobContext& job) {
    return PCMAudio(decode(url, static_cast<int>(PCMAudio::sampleRate), channels, job).channels);
}

void stream(const fs::path& url, int channels, const JobContext& job, const Piece& piece) {
    decode(url, static_cast<int>(PCMAudio::sampleRate), channels, job, &piece);
}

void streamAt(const fs::path& url, int rate, int channels, const JobContext& job, const Piece& piece) {
    decode(url, rate, channels, job, &piece);
}

bool readableRate(int rate) { return rate >= minimumSourceRate && rate <= maximumSourceRate; }

std::vector<float> readMono(const fs::path& url, int sampleRate, const JobContext& job) {
    auto out = decode(url, sampleRate, 1, job);
    if (out.channels.empty()) return {};
    return std::move(out.channels[0]);
}

} // namespace korvel::AudioDecoder
