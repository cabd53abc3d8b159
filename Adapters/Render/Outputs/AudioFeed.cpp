#include "Adapters/Render/Outputs/AudioFeed.hpp"

#include "Adapters/Audio/AudioDecoder.hpp"
#include "Adapters/Audio/AudioEncoder.hpp"
#include "Adapters/Files/FileName.hpp"
#include "Adapters/Media/MediaFailure.hpp"
#include "Adapters/Media/FFmpeg.hpp"
#include "Adapters/Media/MediaAsset.hpp"
#include "Adapters/Media/SystemError.hpp"

#include <charconv>
#include <chrono>
#include <cmath>

namespace korvel {

struct AudioFeed::Reader {
    FFmpeg::Format format;
    int stream = -1;
    std::unique_ptr<AudioEncoder> encoder; // the mix file only
};

namespace {

struct Opened {
    FFmpeg::Format format;
    int stream = -1;
    double duration = 0;
};

// The file's first sound track; `what` names the file in failures.
Opened audioTrack(const std::filesystem::path& url, const std::string& what) {
    Opened o;
    if (FFmpeg::openInput(url, MediaAsset::allFormats(), o.format) < 0) {
        throw EngineFailure::unsupportedFormat(what + " has no audio.");
    }
    AVFormatContext* raw = o.format.get();
    if (avformat_find_stream_info(raw, nullptr) < 0) throw EngineFailure::unsupportedFormat(what + " has no audio.");
    o.stream = av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (o.stream < 0) throw EngineFailure::unsupportedFormat(what + " has no audio.");
    const AVStream* st = raw->streams[o.stream];
    if (st->codecpar->sample_rate <= 0 || st->codecpar->ch_layout.nb_channels <= 0) {
        throw EngineFailure::unsupportedFormat(what + " has no readable sound format.");
    }
    if (st->duration > 0 && st->duration != AV_NOPTS_VALUE) o.duration = static_cast<double>(st->duration) * av_q2d(st->time_base);
    else if (raw->duration > 0) o.duration = static_cast<double>(raw->duration) / AV_TIME_BASE;
    return o;
}

} // namespace

std::string AudioFeed::seconds(double value) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, value);
    std::string s(buf, r.ptr);
    if (s.find_first_of(".e") == std::string::npos) s += ".0";
    return s;
}

AudioFeed::Source AudioFeed::open(const std::string& path, double videoSeconds, double toleranceSeconds) {
    std::filesystem::path url(path);
    std::error_code ec;
    if (!std::filesystem::exists(url, ec)) {
        throw EngineFailure::sourceUnavailable("The sound mix " + nameOf(url) + " is not there.");
    }
    Opened o = audioTrack(url, "The sound mix");
    const AVStream* st = o.format->streams[o.stream];
    // The channels are looked at first: a length worked out from a layout
    // the mix can't have means nothing.
    int channels = st->codecpar->ch_layout.nb_channels;
    if (channels != 1 && channels != 2) {
        throw EngineFailure::unsupportedFormat("The sound mix must be mono or stereo, not " + std::to_string(channels) +
                                               " channels.");
    }
    if (!AudioDecoder::readableRate(st->codecpar->sample_rate)) {
        throw EngineFailure::unsupportedFormat("The sound mix has no readable sound format.");
    }
    if (std::abs(o.duration - videoSeconds) > toleranceSeconds) {
        throw EngineFailure::invalidParams("The sound mix lasts " + seconds(o.duration) + " s and the video " +
                                           seconds(videoSeconds) + " s.");
    }
    return Source{url, st->codecpar->sample_rate, channels, o.duration, videoSeconds, false};
}

AudioFeed::Source AudioFeed::openCopy(const std::filesystem::path& url, double videoSeconds) {
    Opened o = audioTrack(url, nameOf(url));
    const AVStream* st = o.format->streams[o.stream];
    return Source{url, st->codecpar->sample_rate, st->codecpar->ch_layout.nb_channels, o.duration, videoSeconds, true};
}

AudioFeed::AudioFeed(const Source& source, MovieWriter& writer, int64_t bitrate)
    : source_(source), reader_(std::make_unique<Reader>()) {
    Opened o;
    try {
        o = audioTrack(source.url, source.copied ? nameOf(source.url) : "The sound mix");
    } catch (const EngineFailure&) {
        throw;
    } catch (...) {
        throw MediaFailure::reading(std::current_exception(), "The sound mix");
    }
    reader_->stream = o.stream;
    reader_->format = std::move(o.format);
    AVStream* st = reader_->format->streams[reader_->stream];
    if (source.copied) {
        writer.addAudio(st->codecpar, st->time_base.num, st->time_base.den);
        return;
    }
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    FFmpeg::Codec c(codec ? avcodec_alloc_context3(codec) : nullptr);
    if (!c || avcodec_parameters_to_context(c.get(), st->codecpar) < 0 || avcodec_open2(c.get(), codec, nullptr) < 0) {
        throw EngineFailure::unsupportedFormat("The sound mix has no readable sound format.");
    }
    try {
        reader_->encoder = std::make_unique<AudioEncoder>(AudioEncoder::Codec::aac, source.channels, bitrate, true, false,
                                                          source.sampleRate);
    } catch (const EngineFailure&) {
        throw EngineFailure::writeFailed("The encoder refused the sound's settings.");
    }
    FFmpeg::Parameters parameters(avcodec_parameters_alloc());
    if (!parameters || avcodec_parameters_from_context(parameters.get(), reader_->encoder->context()) < 0) {
        throw std::bad_alloc();
    }
    writer.addAudio(parameters.get(), 1, source.sampleRate);
}

AudioFeed::~AudioFeed() { join(); }

void AudioFeed::join() {
    if (thread_.joinable()) thread_.join();
}

std::function<void()> AudioFeed::start(MovieWriter& writer, StopFlag& stop) {
    thread_ = std::thread([this, &writer, &stop] {
        std::exception_ptr failure;
        try {
            pump(writer, stop);
        } catch (...) {
            failure = std::current_exception();
        }
        std::lock_guard g(lock_);
        failure_ = failure;
        finished_ = true;
        ended_.notify_all();
    });
    return [this, &stop] {
        std::unique_lock g(lock_);
        while (!ended_.wait_for(g, std::chrono::milliseconds(100), [&] { return finished_; })) {
            if (stop.stopped()) throw Cancelled();
        }
        if (failure_) std::rethrow_exception(failure_);
    };
}

bool AudioFeed::hasStopped(double seconds) {
    std::unique_lock g(lock_);
    return ended_.wait_for(g, std::chrono::duration<double>(seconds), [&] { return finished_; });
}

void AudioFeed::pump(MovieWriter& writer, StopFlag& stop) {
    Reader& r = *reader_;
    AVStream* st = r.format->streams[r.stream];
    double limit = std::min(source_.durationSeconds > 0 ? source_.durationSeconds : source_.videoDurationSeconds,
                            source_.videoDurationSeconds);
    auto endTicks = static_cast<int64_t>(std::llround(limit / av_q2d(st->time_base)));
    auto endSamples = static_cast<int64_t>(std::llround(limit * source_.sampleRate));
    auto write = [&](const AVPacket& p) { writer.appendAudio(p); };
    // The encoder's failures are the movie's, in the same words.
    auto encoding = [&](auto&& step) {
        try {
            step();
        } catch (const Cancelled&) {
            throw;
        } catch (...) {
            throw MediaFailure::writing(std::current_exception(), nameOf(writer.outputURL()),
                                        writer.outputURL());
        }
    };
    if (source_.copied) {
        auto packet = FFmpeg::packet();
        while (!stop.stopped()) {
            int status = av_read_frame(r.format.get(), packet.get());
            if (status == AVERROR_EOF) break;
            if (status < 0) {
                throw MediaFailure::reading(std::make_exception_ptr(SystemError::ffmpeg(status, "read the sound mix")),
                                            "The sound mix");
            }
            if (packet->stream_index != r.stream) {
                av_packet_unref(packet.get());
                continue;
            }
            if (packet->pts != AV_NOPTS_VALUE && packet->pts >= endTicks) {
                av_packet_unref(packet.get());
                break;
            }
            write(*packet);
            av_packet_unref(packet.get());
        }
        return;
    }
    // The engine's one sound decoder reads the mix at its own rate and
    // channel count: layout changes, gaps and unbounded samples are its job.
    r.format.reset();
    int64_t samplesOut = 0;
    PCMAudio buffer;
    buffer.channels.resize(static_cast<size_t>(source_.channels));
    try {
        AudioDecoder::streamAt(source_.url, source_.sampleRate, source_.channels, JobContext::silent(),
                             [&](const std::vector<std::span<const float>>& piece) {
                                 if (stop.stopped()) throw Cancelled();
                                 const int64_t keep = std::min<int64_t>(static_cast<int64_t>(piece.at(0).size()),
                                                                        endSamples - samplesOut);
                                 if (keep <= 0) return;
                                 for (size_t c = 0; c < buffer.channels.size(); ++c)
                                     buffer.channels[c].assign(piece[c].begin(), piece[c].begin() + keep);
                                 samplesOut += keep;
                                 encoding([&] { r.encoder->feed(&buffer, 0, keep, write); });
                             });
    } catch (const EngineFailure& failure) {
        // Sound the decoder can't read is the mix's, in the words used for it.
        if (failure.code != EngineFailure::unsupportedFormat("").code) throw;
        throw EngineFailure::unsupportedFormat("Part of the sound mix can't be read. The file may be damaged.");
    }
    if (!stop.stopped()) encoding([&] { r.encoder->finish(write); });
}

} // namespace korvel
