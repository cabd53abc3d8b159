#include "Adapters/Audio/AudioDecoder.hpp"

#include "Adapters/Audio/DirectAudioFile.hpp"

#include "Adapters/MediaFailure.hpp"
#include "Adapters/Render/FFmpeg.hpp"
#include "Adapters/Render/MediaAsset.hpp"
#include "Adapters/SystemError.hpp"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
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

class TrackDecoder {
public:
    // The direct route reads the samples as they come (no gap filling),
    // gives way before every buffer and reports at most once per percent.
    // With a sink, pieces leave as they are decoded and nothing is kept.
    TrackDecoder(AVFormatContext* format, int stream, int rate, int channels, int64_t durationFrames,
                 const Piece* sink = nullptr, bool direct = false, int64_t directDurationUs = 0,
                 int64_t deliveredLimit = -1)
        : format_(format), stream_(format->streams[stream]), rate_(rate), channels_(channels),
          durationFrames_(durationFrames), direct_(direct), directDurationUs_(directDurationUs),
          deliveredLimit_(deliveredLimit), sink_(sink) {}

    // Whether pieces already left through the sink: the sound can't be taken back.
    bool delivered() const { return produced_ > 0 && sink_ != nullptr; }

    Output run(const JobContext& job) {
        const AVCodec* codec = avcodec_find_decoder(stream_->codecpar->codec_id);
        if (!codec || stream_->codecpar->ch_layout.nb_channels > maximumSourceChannels)
            throw EngineFailure::unsupportedFormat("This audio track cannot be read.");
        FFmpeg::Codec context(avcodec_alloc_context3(codec));
        if (!context) throw std::bad_alloc();
        check(avcodec_parameters_to_context(context.get(), stream_->codecpar), "read the audio format");
        context->pkt_timebase = stream_->time_base;
        check(avcodec_open2(context.get(), codec, nullptr), "open the audio decoder");
        decoder_ = context.get();

        // Reservations and zero-fills follow the declared length, never a
        // bigger number from a damaged header.
        limitFrames_ = PCMAudio::maximumFrames;
        if (durationFrames_ > 0) limitFrames_ = std::min(limitFrames_, durationFrames_ + PCMAudio::sampleRate);
        out_.channels.assign(static_cast<size_t>(outChannels()), {});
        const int64_t reserve = sink_ ? 0 : std::min(durationFrames_, reservationFrames);
        if (reserve > 0) {
            for (auto& c : out_.channels) c.reserve(static_cast<size_t>(reserve));
        }

        auto packet = FFmpeg::packet();
        auto frame = FFmpeg::frame();
        if (!packet || !frame) throw std::bad_alloc();
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
                    if (status < 0 && status != AVERROR(EAGAIN)) check(status, "decode the audio track");
                }
            }
            while (true) {
                int status = avcodec_receive_frame(decoder_, frame.get());
                if (status == AVERROR(EAGAIN)) break;
                if (status == AVERROR_EOF) {
                    flush();
                    Task::checkCancellation();
                    if (direct_) {
                        job.report({EngineProgress::Phase::analyze, EngineProgress::Unit::microseconds,
                                    directDurationUs_, directDurationUs_});
                    }
                    return std::move(out_);
                }
                check(status, "decode the audio track");
                if (direct_) {
                    directProgress(job);
                } else if (++buffers_ % progressEvery == 0) {
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

    int sourceChannels() const { return decoder_->ch_layout.nb_channels; }
    // Mono and stereo are mapped by our own code; wider layouts are mixed
    // down by the converter.
    int outChannels() const { return channels_; }
    int convertedChannels() const {
        const int c = sourceChannels();
        return c <= 2 ? c : std::min(channels_, 2);
    }

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

    void setUp(const AVFrame* frame) {
        AVChannelLayout in{};
        if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || frame->ch_layout.nb_channels == 0) {
            av_channel_layout_default(&in, std::max(1, frame->ch_layout.nb_channels));
        } else {
            check(av_channel_layout_copy(&in, &frame->ch_layout), "read the channel layout");
        }
        AVChannelLayout outLayout{};
        av_channel_layout_default(&outLayout, convertedChannels());
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
        inRate_ = frame->sample_rate;
        inFormat_ = frame->format;
        inChannels_ = frame->ch_layout.nb_channels;
    }

    // A NaN or infinity would poison every sum it enters downstream (mix,
    // loudness, the AAC encoder, which refuses it); it becomes silence here.
    static void zeroNonFinite(float* samples, size_t count) {
        for (size_t i = 0; i < count; ++i)
            if (!std::isfinite(samples[i])) samples[i] = 0.0f;
    }
    void finiteSamples(AVFrame* frame) {
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
                for (size_t i = 0; i < count && clean; ++i) clean = std::isfinite(x[i]);
            } else {
                const auto* x = reinterpret_cast<const double*>(frame->extended_data[p]);
                for (size_t i = 0; i < count && clean; ++i) clean = std::isfinite(x[i]);
            }
        }
        if (clean) return;
        check(av_frame_make_writable(frame), "decode the audio track");
        for (int p = 0; p < planes; ++p) {
            if (packed == AV_SAMPLE_FMT_FLT) {
                zeroNonFinite(reinterpret_cast<float*>(frame->extended_data[p]), count);
            } else {
                auto* x = reinterpret_cast<double*>(frame->extended_data[p]);
                for (size_t i = 0; i < count; ++i)
                    if (!std::isfinite(x[i])) x[i] = 0.0;
            }
        }
    }

    void take(AVFrame* frame) {
        if (frame->nb_samples <= 0 || frame->sample_rate <= 0) return;
        finiteSamples(frame);
        if (!resampler_ || frame->sample_rate != inRate_ || frame->format != inFormat_ ||
            frame->ch_layout.nb_channels != inChannels_) {
            if (resampler_) flush();
            setUp(frame);
        }
        // Gaps are found on the input's own timestamps, so resampler delay
        // never looks like one.
        const int64_t pts = frame->best_effort_timestamp;
        if (pts != AV_NOPTS_VALUE && !direct_) {
            const int64_t at = av_rescale_q_rnd(pts, stream_->time_base, AVRational{1, inRate_},
                                                static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
            // The first buffer is frame 0 wherever it is stamped: an MP3's
            // first frame comes stamped after the encoder delay the decoder
            // already trimmed. Only gaps between buffers are sound.
            if (!origin_) {
                origin_ = true;
                inputFrames_ = at;
            }
            const int64_t gapIn = at - inputFrames_;
            const int64_t gapOut = av_rescale(gapIn, rate_, inRate_);
            // Stamps in coarse units (Matroska and WebM count milliseconds)
            // are rounded: a gap shorter than one unit is that rounding.
            const int64_t unit = av_rescale_q_rnd(1, stream_->time_base, AVRational{1, rate_}, AV_ROUND_UP);
            if (gapOut > std::max<int64_t>(2, unit)) {
                if (produced_ + gapOut > limitFrames_) damaged();
                check(swr_inject_silence(resampler_.get(), static_cast<int>(std::min<int64_t>(gapIn, INT32_MAX))),
                      "fill a gap in the audio track");
                inputFrames_ += gapIn;
            }
        }
        inputFrames_ += frame->nb_samples;
        convert(const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
    }

    void flush() {
        if (resampler_) convert(nullptr, 0);
    }

    void convert(const uint8_t** input, int count) {
        do {
            const int room = swr_get_out_samples(resampler_.get(), count);
            check(room, "convert the audio track");
            if (room == 0) return;
            scratch_.resize(static_cast<size_t>(convertedChannels()));
            std::vector<uint8_t*> planes;
            for (auto& s : scratch_) {
                s.resize(static_cast<size_t>(room));
                planes.push_back(reinterpret_cast<uint8_t*>(s.data()));
            }
            const int got = swr_convert(resampler_.get(), planes.data(), room, input, count);
            check(got, "convert the audio track");
            if (got == 0) return;
            // Resampling finite input can still overflow.
            for (auto& plane : scratch_) zeroNonFinite(plane.data(), static_cast<size_t>(got));
            append(got);
            // Draining repeats until the converter holds nothing more.
        } while (input == nullptr);
    }

    void append(int got) {
        if (produced_ + got > PCMAudio::maximumFrames) damaged();
        // A direct stream hands out what the plan presents and no padding after it.
        if (deliveredLimit_ >= 0) got = static_cast<int>(std::clamp<int64_t>(deliveredLimit_ - produced_, 0, got));
        if (got == 0) return;
        produced_ += got;
        const auto n = static_cast<size_t>(got);
        const int have = convertedChannels();
        if (sink_) {
            std::vector<std::span<const float>> planes;
            for (int c = 0; c < channels_; ++c) {
                if (channels_ == 1 && have == 2) {
                    mixed_.resize(n);
                    const float* l = scratch_[0].data();
                    const float* r = scratch_[1].data();
                    for (size_t i = 0; i < n; ++i) mixed_[i] = (l[i] + r[i]) * 0.5f;
                    planes.emplace_back(mixed_.data(), n);
                } else {
                    planes.emplace_back(scratch_[static_cast<size_t>(std::min(c, have - 1))].data(), n);
                }
            }
            (*sink_)(planes);
            return;
        }
        for (int c = 0; c < channels_; ++c) {
            auto& dst = out_.channels[static_cast<size_t>(c)];
            if (channels_ == 1 && have == 2) {
                const float* l = scratch_[0].data();
                const float* r = scratch_[1].data();
                const size_t base = dst.size();
                dst.resize(base + n);
                for (size_t i = 0; i < n; ++i) dst[base + i] = (l[i] + r[i]) * 0.5f;
            } else {
                const auto& src = scratch_[static_cast<size_t>(std::min(c, have - 1))];
                dst.insert(dst.end(), src.begin(), src.begin() + static_cast<std::ptrdiff_t>(n));
            }
        }
    }

    AVFormatContext* format_;
    AVStream* stream_;
    AVCodecContext* decoder_ = nullptr;
    int rate_, channels_;
    int64_t durationFrames_;
    bool direct_ = false;
    int64_t directDurationUs_ = 0;
    int64_t deliveredLimit_ = -1;
    bool origin_ = false;
    int64_t lastPercent_ = -1;
    int64_t limitFrames_ = 0;
    int64_t inputFrames_ = 0;
    int64_t buffers_ = 0;
    int64_t produced_ = 0;
    const Piece* sink_;
    std::vector<float> mixed_;
    Resampler resampler_;
    int inRate_ = 0, inFormat_ = -1, inChannels_ = 0;
    std::vector<std::vector<float>> scratch_;
    Output out_;
};

FFmpeg::Format openFile(const fs::path& url) {
    FFmpeg::prepare();
    AVDictionary* options = nullptr;
    // Everyday sound also comes in Ogg (Opus, Vorbis) and Matroska or WebM.
    static const std::string formats = std::string(MediaAsset::allFormats()) + ",ogg,matroska,webm";
    av_dict_set(&options, "format_whitelist", formats.c_str(), 0);
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    AVFormatContext* raw = nullptr;
    const std::string location = "file:" + url.string();
    int status = avformat_open_input(&raw, location.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (status < 0) throw SystemError::ffmpeg(status, "open " + url.string());
    FFmpeg::Format format(raw);
    status = avformat_find_stream_info(format.get(), nullptr);
    if (status < 0) throw SystemError::ffmpeg(status, "read the tracks of " + url.string());
    return format;
}

struct StreamBroken {
    std::exception_ptr error;
};

Output decode(const fs::path& url, int rate, int channels, const JobContext& job, const Piece* sink = nullptr) {
    struct stat st {};
    if (::stat(url.c_str(), &st) != 0) throw EngineFailure::sourceUnavailable("The file is not there anymore.");
    std::vector<int> streams;
    int64_t durationUs = 0;
    try {
        auto format = openFile(url);
        for (unsigned i = 0; i < format->nb_streams; ++i) {
            if (format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) streams.push_back(static_cast<int>(i));
        }
        if (format->duration != AV_NOPTS_VALUE && format->duration > 0) durationUs = format->duration;
    } catch (const EngineFailure&) {
        throw;
    } catch (...) {
        throw MediaFailure::reading(std::current_exception(), what);
    }
    if (streams.empty()) throw EngineFailure::invalidParams("This file has no audio track.");
    if (auto plan = DirectAudioFile::plan(url, rate, channels)) {
        if (sink) {
            if (DirectAudioFile::stream(url, *plan, rate, channels, job, *sink)) return {};
        } else if (auto samples = DirectAudioFile::read(url, *plan, rate, channels, job)) {
            return Output{std::move(*samples)};
        }
    }
    const int64_t expected = durationUs > 0 ? static_cast<int64_t>(static_cast<double>(durationUs) / 1e6 * rate) : 0;

    for (size_t i = 0; i < streams.size(); ++i) {
        try {
            // Each track reads from a fresh demuxer, so a failed track leaves
            // nothing behind for the next.
            auto format = openFile(url);
            for (unsigned s = 0; s < format->nb_streams; ++s) {
                if (static_cast<int>(s) != streams[i]) format->streams[s]->discard = AVDISCARD_ALL;
            }
            TrackDecoder track(format.get(), streams[i], rate, channels, expected, sink);
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
    throw EngineFailure::unsupportedFormat("This audio track cannot be read.");
}

} // namespace

namespace {
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
} // namespace

std::optional<std::vector<std::vector<float>>> readDirect(const fs::path& url, int rate, int channels,
                                                          int64_t expectedFrames, int64_t durationUs,
                                                          const JobContext& job) {
    try {
        auto format = openFile(url);
        const int stream = firstAudioTrack(format.get());
        if (stream < 0) return std::nullopt;
        return TrackDecoder(format.get(), stream, rate, channels, expectedFrames, nullptr, true, durationUs).run(job).channels;
    } catch (const Cancelled&) {
        throw;
    } catch (...) {
        return std::nullopt;
    }
}

bool streamDirect(const fs::path& url, int rate, int channels, int64_t expectedFrames, int64_t durationUs,
                  int64_t limitFrames, const JobContext& job, const Piece& piece) {
    std::optional<TrackDecoder> track;
    try {
        auto format = openFile(url);
        const int stream = firstAudioTrack(format.get());
        if (stream < 0) return false;
        track.emplace(format.get(), stream, rate, channels, expectedFrames, &piece, true, durationUs,
                      std::max<int64_t>(0, limitFrames));
        track->run(job);
        return true;
    } catch (const Cancelled&) {
        throw;
    } catch (...) {
        if (!track || !track->delivered()) return false;
        throw MediaFailure::reading(std::current_exception(), what);
    }
}

PCMAudio read(const fs::path& url, int channels, const JobContext& job) {
    return PCMAudio(decode(url, static_cast<int>(PCMAudio::sampleRate), channels, job).channels);
}

void stream(const fs::path& url, int channels, const JobContext& job, const Piece& piece) {
    decode(url, static_cast<int>(PCMAudio::sampleRate), channels, job, &piece);
}

std::vector<float> readMono(const fs::path& url, int sampleRate, const JobContext& job) {
    auto out = decode(url, sampleRate, 1, job);
    if (out.channels.empty()) return {};
    return std::move(out.channels[0]);
}

std::vector<std::vector<float>> deinterleave(const std::vector<float>& samples, int channels) {
    if (channels < 2) return {samples};
    const size_t n = samples.size() / static_cast<size_t>(channels);
    std::vector<std::vector<float>> out(static_cast<size_t>(channels), std::vector<float>(n));
    for (size_t i = 0; i < n; ++i)
        for (size_t c = 0; c < out.size(); ++c) out[c][i] = samples[i * out.size() + c];
    return out;
}

} // namespace korvel::AudioDecoder
