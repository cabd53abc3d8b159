#include "Adapters/Audio/EncodedPeak.hpp"

#include "Adapters/Audio/AudioEncoder.hpp"
#include "Adapters/Media/FFmpeg.hpp"
#include "Adapters/Media/SystemError.hpp"
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

// The envelope peak of one channel's decoded samples [first, last), taken as
// an array of its own (zeros beyond both ends), over its outputs [lo, hi):
// worked out while the decoder runs, so a chunk's decode is never held whole.
class SlicePeak {
public:
    SlicePeak(int64_t first, int64_t last, int64_t lo, int64_t hi) : first_(first), last_(last), lo_(lo), hi_(hi) {}

    // The next decoded samples.
    void add(const float* s, int64_t n) {
        const int64_t a = std::max(at_, first_), b = std::min(at_ + n, last_);
        if (b > a) buffer_.insert(buffer_.end(), s + (a - at_), s + (b - at_));
        at_ += n;
        if (static_cast<int64_t>(buffer_.size()) >= 2 * step) flush(false);
    }

    float finish() {
        flush(true);
        return peak_;
    }

private:
    static constexpr int64_t step = 1 << 16;
    // An output reads 15 samples before it and 16 after it.
    static constexpr int64_t before = 15, after = 16;

    void flush(bool end) {
        if (buffer_.empty()) return;
        const int64_t length = static_cast<int64_t>(buffer_.size());
        const auto env = TruePeak::envelope(buffer_);
        const int64_t from = start_ == 0 ? 0 : start_ + before;
        const int64_t to = end ? start_ + length : start_ + length - after;
        for (int64_t j = std::max(from, lo_); j < std::min(to, hi_); ++j)
            peak_ = std::max(peak_, env[static_cast<size_t>(j - start_)]);
        if (end) return;
        const int64_t keep = to - before;
        buffer_.erase(buffer_.begin(), buffer_.begin() + (keep - start_));
        start_ = keep;
    }

    int64_t first_, last_, lo_, hi_;
    int64_t at_ = 0;     // decoded index of the next sample
    int64_t start_ = 0;  // slice index of buffer_[0]
    std::vector<float> buffer_;
    float peak_ = 0;
};

// The largest true-peak envelope value over frames [a, b) of the sound, from
// one AAC cycle of [a0, b0) around it.
float chunkPeak(const PCMSource& audio, int64_t a, int64_t b, int64_t a0, int64_t b0, int64_t bitRate) {
    const int channels = audio.channelCount();
    AudioEncoder encoder(AudioEncoder::Codec::aac, channels, bitRate, true);
    const int64_t priming = encoder.context()->initial_padding;
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

    // A margin on each side keeps the interpolation's own edges out of the region.
    constexpr int64_t margin = 64;
    const int64_t s0 = std::max(a0, a - margin), s1 = std::min(b0, b + margin);
    std::vector<SlicePeak> peaks;
    for (int c = 0; c < channels; ++c) peaks.emplace_back(s0 - a0 + priming, s1 - a0 + priming, a - s0, b - s0);

    auto frame = FFmpeg::frame();
    if (!frame) throw std::bad_alloc();
    auto receive = [&] {
        while (avcodec_receive_frame(decoder.get(), frame.get()) == 0) {
            for (int c = 0; c < channels; ++c)
                peaks[static_cast<size_t>(c)].add(reinterpret_cast<const float*>(frame->extended_data[c]), frame->nb_samples);
            av_frame_unref(frame.get());
        }
    };
    auto sink = [&](const AVPacket& packet) {
        check(avcodec_send_packet(decoder.get(), &packet), "decode the AAC check");
        receive();
    };
    for (int64_t at = a0; at < b0; at += 65536) {
        Task::checkCancellation();
        const int64_t n = std::min<int64_t>(65536, b0 - at);
        const PCMAudio block = audio.chunk(at, n);
        encoder.feed(&block, 0, n, sink);
    }
    encoder.finish(sink);
    check(avcodec_send_packet(decoder.get(), nullptr), "decode the AAC check");
    receive();
    float peak = 0;
    for (auto& p : peaks) peak = std::max(peak, p.finish());
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
    for (auto& e : errors) {
        if (!e) continue;
        try {
            std::rethrow_exception(e);
        } catch (const Cancelled&) {
            throw;
        } catch (...) {
            throw AudioEncoder::aacFailure(e);
        }
    }
    const float peak = *std::max_element(peaks.begin(), peaks.end());
    return peak > 0 ? std::max(TruePeak::silenceDb, 20.0 * std::log10(static_cast<double>(peak))) : TruePeak::silenceDb;
}

} // namespace korvel::EncodedPeak
