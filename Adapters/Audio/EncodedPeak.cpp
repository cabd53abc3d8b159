#include "Adapters/Audio/EncodedPeak.hpp"

#include "Adapters/Audio/AudioEncoder.hpp"
#include "Adapters/Render/FFmpeg.hpp"
#include "Adapters/SystemError.hpp"
#include "Core/Audio/TruePeak.hpp"
#include "Core/Jobs.hpp"

#include <tbb/parallel_for.h>

#include <algorithm>
#include <cmath>
#include <thread>

namespace korvel::EncodedPeak {

namespace {

void check(int status, std::string_view doing) {
    if (status < 0) throw SystemError::ffmpeg(status, doing);
}

// Decoded channels of one AAC cycle of frames [from, to), priming included.
std::vector<std::vector<float>> cycle(const PCMSource& audio, int64_t from, int64_t to, int64_t bitRate, int64_t& priming) {
    const int channels = audio.channelCount();
    AudioEncoder encoder(AudioEncoder::Codec::aac, channels, bitRate, true);
    priming = encoder.context()->initial_padding;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
    if (!codec) throw EngineFailure::internalError("Could not set up the AAC encoder.");
    FFmpeg::Codec decoder(avcodec_alloc_context3(codec));
    if (!decoder) throw std::bad_alloc();
    const AVCodecContext* enc = encoder.context();
    decoder->extradata = static_cast<uint8_t*>(av_mallocz(static_cast<size_t>(enc->extradata_size) + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!decoder->extradata) throw std::bad_alloc();
    std::copy(enc->extradata, enc->extradata + enc->extradata_size, decoder->extradata);
    decoder->extradata_size = enc->extradata_size;
    decoder->sample_rate = enc->sample_rate;
    check(av_channel_layout_copy(&decoder->ch_layout, &enc->ch_layout), "describe the decoder");
    check(avcodec_open2(decoder.get(), codec, nullptr), "open the AAC decoder");

    std::vector<std::vector<float>> out(static_cast<size_t>(channels));
    for (auto& c : out) c.reserve(static_cast<size_t>(to - from + 4096));
    auto frame = FFmpeg::frame();
    if (!frame) throw std::bad_alloc();
    auto receive = [&] {
        while (avcodec_receive_frame(decoder.get(), frame.get()) == 0) {
            for (int c = 0; c < channels; ++c) {
                const auto* s = reinterpret_cast<const float*>(frame->extended_data[c]);
                out[static_cast<size_t>(c)].insert(out[static_cast<size_t>(c)].end(), s, s + frame->nb_samples);
            }
            av_frame_unref(frame.get());
        }
    };
    auto sink = [&](const AVPacket& packet) {
        check(avcodec_send_packet(decoder.get(), &packet), "decode the AAC check");
        receive();
    };
    for (int64_t at = from; at < to; at += 65536) {
        Task::checkCancellation();
        const int64_t n = std::min<int64_t>(65536, to - at);
        const PCMAudio block = audio.chunk(at, n);
        encoder.feed(&block, 0, n, sink);
    }
    encoder.finish(sink);
    check(avcodec_send_packet(decoder.get(), nullptr), "decode the AAC check");
    receive();
    return out;
}

// The largest true-peak envelope value over frames [a, b) of the sound, from
// one cycle of [a0, b0) around it.
float chunkPeak(const PCMSource& audio, int64_t a, int64_t b, int64_t a0, int64_t b0, int64_t bitRate) {
    int64_t priming = 0;
    const auto decoded = cycle(audio, a0, b0, bitRate, priming);
    // A margin on each side keeps the interpolation's own edges out of the region.
    constexpr int64_t margin = 64;
    const int64_t s0 = std::max(a0, a - margin), s1 = std::min(b0, b + margin);
    float peak = 0;
    for (const auto& channel : decoded) {
        const int64_t first = s0 - a0 + priming, last = std::min<int64_t>(s1 - a0 + priming, static_cast<int64_t>(channel.size()));
        if (last <= first) continue;
        const std::vector<float> slice(channel.begin() + first, channel.begin() + last);
        const auto env = TruePeak::envelope(slice);
        for (int64_t j = a - s0; j < std::min<int64_t>(b - s0, static_cast<int64_t>(env.size())); ++j)
            peak = std::max(peak, env[static_cast<size_t>(j)]);
    }
    return peak;
}

} // namespace

double measureDb(const PCMAudio& audio, int64_t bitRate) { return measureDb(*PCMSources::of(audio), bitRate); }

double measureDb(const PCMSource& audio, int64_t bitRate) {
    const int64_t n = audio.frameCount();
    if (n < 1 || audio.channelCount() < 1) return TruePeak::silenceDb;
    const int64_t workers = std::max<int64_t>(1, std::thread::hardware_concurrency());
    int64_t chunk = std::max<int64_t>(minimumChunkFrames, (n / (2 * workers) + 1023) / 1024 * 1024);
    const int64_t count = (n + chunk - 1) / chunk;
    std::vector<float> peaks(static_cast<size_t>(count), 0.0f);
    std::vector<std::exception_ptr> errors(static_cast<size_t>(count));
    const auto token = Task::currentToken();
    tbb::parallel_for(int64_t(0), count, [&](int64_t i) {
        Task::Scope scope(token);
        try {
            const int64_t a = i * chunk, b = std::min(n, a + chunk);
            const int64_t a0 = std::max<int64_t>(0, a - contextFrames), b0 = std::min(n, b + 4096);
            peaks[static_cast<size_t>(i)] = chunkPeak(audio, a, b, a0, b0, bitRate);
        } catch (...) {
            errors[static_cast<size_t>(i)] = std::current_exception();
        }
    });
    for (auto& e : errors)
        if (e) std::rethrow_exception(e);
    const float peak = *std::max_element(peaks.begin(), peaks.end());
    return peak > 0 ? std::max(TruePeak::silenceDb, 20.0 * std::log10(static_cast<double>(peak))) : TruePeak::silenceDb;
}

} // namespace korvel::EncodedPeak
