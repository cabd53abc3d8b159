#include "Adapters/Render/Sources/VideoDecoder.hpp"

#include "Adapters/Concurrency/RenderGates.hpp"
#include "Adapters/Media/FFmpeg.hpp"
#include "Adapters/Render/Sources/DecodedPictures.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>

namespace korvel {

namespace {

struct CodecChoice {
    AVCodecID id = AV_CODEC_ID_NONE;
    std::optional<std::vector<uint8_t>> config;
};

CodecChoice codecFor(const MovieSampleEntry& entry) {
    const std::string& f = entry.format;
    auto with = [&](AVCodecID id, const char* box) {
        CodecChoice c{id, std::nullopt};
        if (box)
            if (const auto* b = entry.box(box)) c.config = *b;
        return c;
    };
    if (f == "avc1" || f == "avc3") return with(AV_CODEC_ID_H264, "avcC");
    if (f == "hvc1" || f == "hev1") return with(AV_CODEC_ID_HEVC, "hvcC");
    if (f == "av01") return with(AV_CODEC_ID_AV1, "av1C");
    if (f == "vp09") return with(AV_CODEC_ID_VP9, nullptr);
    if (f == "jpeg" || f == "mjpa") return with(AV_CODEC_ID_MJPEG, nullptr);
    if (f == "apch" || f == "apcn" || f == "apcs" || f == "apco" || f == "ap4h" || f == "ap4x") {
        return with(AV_CODEC_ID_PRORES, nullptr);
    }
    if (f == "mp4v") {
        CodecChoice c{AV_CODEC_ID_MPEG4, std::nullopt};
        if (const auto* esds = entry.box("esds")) c.config = ElementaryStreamDescriptor::decoderSpecificInfo(*esds);
        return c;
    }
    return {};
}

std::atomic<uint64_t> openedSoFar{0};
std::atomic<uint64_t> decodedSoFar{0};

// Threads only pay off on large pictures; renders running together share
// the cores, as each frame thread holds pictures of its own.
int threadsFor(int64_t pixels, std::optional<int64_t> frames) {
    return pixels >= 1280 * 720 ? RenderGates::codecThreads(2, frames) : 1;
}

} // namespace

struct VideoDecoder::State {
    // Outlives the context, whose threads take pictures from it.
    std::unique_ptr<DecodedPictures> pictures;
    FFmpeg::Codec context;
    FFmpeg::Frame frame;
    FFmpeg::Packet packet;
    std::deque<FFmpeg::Frame> held;
    int lastError = 0;
    // What the thread count was chosen by.
    int64_t pixels = 0;
    std::optional<int64_t> frames;
    int askedThreads = 0;

    // Moves every frame the decoder has ready into `held`; false when
    // there was none.
    bool hold() {
        bool any = false;
        for (;;) {
            FFmpeg::Frame f = FFmpeg::frame();
            if (!f) throw std::bad_alloc();
            if (avcodec_receive_frame(context.get(), f.get()) < 0) return any;
            decodedSoFar.fetch_add(1, std::memory_order_relaxed);
            held.push_back(std::move(f));
            any = true;
        }
    }

    bool drain(const std::function<bool(AVFrame&)>& take) {
        while (!held.empty()) {
            FFmpeg::Frame f = std::move(held.front());
            held.pop_front();
            if (take(*f)) return true;
        }
        for (;;) {
            int status = avcodec_receive_frame(context.get(), frame.get());
            if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return false;
            if (status < 0) {
                lastError = status;
                return false;
            }
            decodedSoFar.fetch_add(1, std::memory_order_relaxed);
            bool done = take(*frame);
            av_frame_unref(frame.get());
            if (done) return true;
        }
    }
};

VideoDecoder::VideoDecoder() : state_(std::make_unique<State>()) {}
VideoDecoder::~VideoDecoder() = default;
VideoDecoder::VideoDecoder(VideoDecoder&&) noexcept = default;
VideoDecoder& VideoDecoder::operator=(VideoDecoder&&) noexcept = default;

bool VideoDecoder::canDecode(const MovieSampleEntry& entry) {
    CodecChoice choice = codecFor(entry);
    return choice.id != AV_CODEC_ID_NONE && avcodec_find_decoder(choice.id) != nullptr;
}

std::optional<VideoDecoder> VideoDecoder::make(const MovieSampleEntry& entry, int32_t timescale, Tuning tuning) {
    CodecChoice choice = codecFor(entry);
    return opened(choice.id, choice.config, entry, timescale, tuning);
}

std::optional<VideoDecoder> VideoDecoder::make(const VideoTrack& track, uint32_t description, Tuning tuning) {
    if (description >= track.movie.sampleEntries.size()) return std::nullopt;
    const MovieSampleEntry& entry = track.movie.sampleEntries[description];
    const auto timescale = static_cast<int32_t>(track.movie.mediaTimescale);
    if (!track.codec) return make(entry, timescale, tuning);
    return opened(track.codec->id, track.codec->extradata, entry, timescale, tuning);
}

bool VideoDecoder::canDecode(const VideoTrack& track) {
    const MovieSampleEntry* entry = track.firstDescription();
    if (!entry) return false;
    if (!track.codec) return canDecode(*entry);
    return avcodec_find_decoder(static_cast<AVCodecID>(track.codec->id)) != nullptr;
}

std::optional<VideoDecoder> VideoDecoder::opened(int codecId, const std::optional<std::vector<uint8_t>>& config,
                                                 const MovieSampleEntry& entry, int32_t timescale, Tuning tuning) {
    FFmpeg::prepare();
    if (codecId == AV_CODEC_ID_NONE) return std::nullopt;
    const AVCodec* codec = avcodec_find_decoder(static_cast<AVCodecID>(codecId));
    if (!codec) return std::nullopt;
    // Made first, so that it outlives the context on every way out.
    auto pictures = std::make_unique<DecodedPictures>();
    FFmpeg::Codec context(avcodec_alloc_context3(codec));
    if (!context) return std::nullopt;
    if (config && !config->empty()) {
        size_t n = config->size();
        context->extradata = static_cast<uint8_t*>(av_mallocz(n + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!context->extradata) return std::nullopt;
        std::memcpy(context->extradata, config->data(), n);
        context->extradata_size = static_cast<int>(n);
    }
    context->width = static_cast<int>(entry.width);
    context->height = static_cast<int>(entry.height);
    context->pkt_timebase = AVRational{1, timescale};
    const int64_t pixels = int64_t{entry.width} * int64_t{entry.height};
    const int threads = threadsFor(pixels, tuning.frames);
    context->thread_count = threads;
    if (tuning.noDelay) context->thread_type = FF_THREAD_SLICE;
    if (tuning.rough) context->skip_loop_filter = AVDISCARD_ALL;
    context->opaque = pictures.get();
    context->get_buffer2 = DecodedPictures::get;
    if (avcodec_open2(context.get(), codec, nullptr) < 0) return std::nullopt;
    VideoDecoder d;
    d.state_->pictures = std::move(pictures);
    d.state_->context = std::move(context);
    d.state_->frame = FFmpeg::frame();
    d.state_->packet = FFmpeg::packet();
    d.state_->pixels = pixels;
    d.state_->frames = tuning.frames;
    d.state_->askedThreads = threads;
    openedSoFar.fetch_add(1, std::memory_order_relaxed);
    return d;
}

std::optional<VideoDecoder> VideoDecoder::make(const MovieSampleEntry& entry, int32_t timescale) {
    return make(entry, timescale, Tuning{});
}

bool VideoDecoder::send(const std::vector<uint8_t>& bytes, const MovieSample& sample,
                        const std::function<bool(AVFrame&)>& take) {
    State& s = *state_;
    av_packet_unref(s.packet.get());
    if (av_new_packet(s.packet.get(), static_cast<int>(bytes.size())) < 0) throw std::bad_alloc();
    if (!bytes.empty()) std::memcpy(s.packet->data, bytes.data(), bytes.size());
    s.packet->pts = sample.presentationTime();
    s.packet->dts = sample.decodeTime;
    s.packet->duration = sample.duration;
    if (sample.isSync) s.packet->flags |= AV_PKT_FLAG_KEY;
    for (;;) {
        int status = avcodec_send_packet(s.context.get(), s.packet.get());
        if (status == AVERROR(EAGAIN)) {
            // The decoder is full: keep its frames for `take` so the
            // packet goes in now and none is lost when `take` stops.
            if (!s.hold()) return s.drain(take);
            continue;
        }
        if (status < 0) s.lastError = status; // a damaged sample: later ones may still decode
        return s.drain(take);
    }
}

void VideoDecoder::skipUnreferenced(bool skip) {
    AVCodecContext* c = state_->context.get();
    if (c->codec_id != AV_CODEC_ID_H264 && c->codec_id != AV_CODEC_ID_HEVC) return;
    c->skip_frame = skip ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
}

bool VideoDecoder::finish(const std::function<bool(AVFrame&)>& take) {
    avcodec_send_packet(state_->context.get(), nullptr);
    return state_->drain(take);
}

void VideoDecoder::restart() {
    State& s = *state_;
    avcodec_flush_buffers(s.context.get());
    s.held.clear();
    s.lastError = 0;
    s.context->skip_frame = AVDISCARD_DEFAULT;
}

int VideoDecoder::lastError() const { return state_->lastError; }

int VideoDecoder::threads() const { return std::max(1, state_->context->thread_count); }

uint64_t VideoDecoder::openedCount() { return openedSoFar.load(std::memory_order_relaxed); }

uint64_t VideoDecoder::decodedCount() { return decodedSoFar.load(std::memory_order_relaxed); }

bool VideoDecoder::threadsFitNow() const {
    const State& s = *state_;
    return threadsFor(s.pixels, s.frames) == s.askedThreads;
}

} // namespace korvel
