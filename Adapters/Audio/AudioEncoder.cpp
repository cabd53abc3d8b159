#include "Adapters/Audio/AudioEncoder.hpp"

#include "Adapters/Media/MediaFailure.hpp"
#include "Adapters/Media/FFmpeg.hpp"
#include "Adapters/Media/SystemError.hpp"
#include "Core/Jobs.hpp"

extern "C" {
#include <libavutil/channel_layout.h>
}

#include <algorithm>
#include <cerrno>
#include <cmath>

namespace korvel {

EngineFailure AudioEncoder::aacFailure(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const EngineFailure& failure) {
        return failure;
    } catch (const std::bad_alloc&) {
        MediaFailure::log(MediaFailure::chain(error), "encode AAC");
        return EngineFailure::internalError("AAC encoding failed: there was not enough memory.");
    } catch (...) {
        // The system's own words go to the log, never to the client.
        const auto chain = MediaFailure::chain(error);
        MediaFailure::log(chain, "encode AAC");
        for (const auto& entry : chain) {
            if (entry.domain == SystemError::posixDomain && entry.code == ENOMEM)
                return EngineFailure::internalError("AAC encoding failed: there was not enough memory.");
        }
        return EngineFailure::internalError("AAC encoding failed: the encoder refused the sound.");
    }
}

void AudioEncoder::check(int status, std::string_view doing) const {
    if (status >= 0) return;
    if (codec_ == Codec::aac) throw aacFailure(std::make_exception_ptr(SystemError::ffmpeg(status, doing)));
    throw SystemError::ffmpeg(status, doing);
}

AudioEncoder::AudioEncoder(Codec codec, int channels, int64_t bitRate, bool globalHeader, bool fastCoder, int sampleRate)
    : codec_(codec), channels_(channels) {
    FFmpeg::prepare();
    const auto setUpFailed = [codec] {
        return EngineFailure::internalError(codec == Codec::aac ? "Could not set up the AAC encoder."
                                                                : "Could not set up the audio writer.");
    };
    const AVCodec* found = codec == Codec::aac ? avcodec_find_encoder_by_name("aac") : avcodec_find_encoder(AV_CODEC_ID_ALAC);
    if (!found || channels < 1 || channels > 8 || sampleRate <= 0) throw setUpFailed();
    context_ = avcodec_alloc_context3(found);
    if (!context_) throw setUpFailed();
    context_->sample_rate = sampleRate;
    context_->time_base = AVRational{1, sampleRate};
    av_channel_layout_default(&context_->ch_layout, channels);
    if (codec == Codec::aac) {
        context_->sample_fmt = AV_SAMPLE_FMT_FLTP;
        context_->bit_rate = bitRate;
    } else {
        context_->sample_fmt = AV_SAMPLE_FMT_S32P;
        context_->bits_per_raw_sample = 24;
    }
    if (globalHeader) context_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* options = nullptr;
    if (codec == Codec::aac && fastCoder) av_dict_set(&options, "aac_coder", "fast", 0);
    const int opened = avcodec_open2(context_, found, &options);
    av_dict_free(&options);
    if (opened < 0) {
        avcodec_free_context(&context_);
        throw setUpFailed();
    }
    pending_.assign(static_cast<size_t>(channels), {});
}

AudioEncoder::~AudioEncoder() { avcodec_free_context(&context_); }

int AudioEncoder::frameSize() const { return context_->frame_size > 0 ? context_->frame_size : 4096; }

void AudioEncoder::feed(const PCMAudio* audio, int64_t from, int64_t count, const PacketSink& sink) {
    const auto size = static_cast<size_t>(frameSize());
    while (count > 0) {
        const size_t have = pending_[0].size();
        const auto take = static_cast<size_t>(std::min<int64_t>(count, static_cast<int64_t>(size - have)));
        for (size_t c = 0; c < pending_.size(); ++c) {
            if (audio) {
                const auto& src = audio->channels[std::min(c, audio->channels.size() - 1)];
                pending_[c].insert(pending_[c].end(), src.begin() + from, src.begin() + from + static_cast<int64_t>(take));
            } else {
                pending_[c].insert(pending_[c].end(), take, 0.0f);
            }
        }
        from += static_cast<int64_t>(take);
        count -= static_cast<int64_t>(take);
        if (pending_[0].size() == size) sendFrame(static_cast<int>(size), sink);
    }
}

void AudioEncoder::finish(const PacketSink& sink) {
    if (!pending_[0].empty()) sendFrame(static_cast<int>(pending_[0].size()), sink);
    check(avcodec_send_frame(context_, nullptr), "finish the audio encoder");
    drain(sink);
}

void AudioEncoder::sendFrame(int frames, const PacketSink& sink) {
    auto frame = FFmpeg::frame();
    if (!frame) throw std::bad_alloc();
    frame->nb_samples = frames;
    frame->format = context_->sample_fmt;
    frame->sample_rate = context_->sample_rate;
    check(av_channel_layout_copy(&frame->ch_layout, &context_->ch_layout), "describe the audio frame");
    check(av_frame_get_buffer(frame.get(), 0), "allocate an audio frame");
    for (size_t c = 0; c < pending_.size(); ++c) {
        const float* src = pending_[c].data();
        if (codec_ == Codec::aac) {
            std::copy(src, src + frames, reinterpret_cast<float*>(frame->extended_data[c]));
        } else {
            // 24-bit samples in the top bits of 32-bit words.
            auto* dst = reinterpret_cast<int32_t*>(frame->extended_data[c]);
            for (int i = 0; i < frames; ++i) {
                const float x = std::isfinite(src[i]) ? std::clamp(src[i], -1.0f, 1.0f) : 0.0f;
                dst[i] = static_cast<int32_t>(std::lrint(static_cast<double>(x) * 8388607.0)) * 256;
            }
        }
        pending_[c].clear();
    }
    frame->pts = pts_;
    pts_ += frames;
    check(avcodec_send_frame(context_, frame.get()), "encode audio");
    drain(sink);
}

void AudioEncoder::drain(const PacketSink& sink) {
    auto packet = FFmpeg::packet();
    if (!packet) throw std::bad_alloc();
    while (true) {
        int status = avcodec_receive_packet(context_, packet.get());
        if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return;
        check(status, "encode audio");
        sink(*packet);
        av_packet_unref(packet.get());
    }
}

} // namespace korvel
