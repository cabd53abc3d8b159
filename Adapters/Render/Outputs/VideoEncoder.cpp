#include "Adapters/Render/Outputs/VideoEncoder.hpp"

#include "Adapters/Concurrency/RenderGates.hpp"
#include "Adapters/Media/FFmpeg.hpp"
#include "Adapters/Media/SystemError.hpp"
#include "Core/CodecThreads.hpp"
#include "Core/Jobs.hpp"
#include "Core/Picture/FrameBuffers.hpp"
#include "Core/Picture/Kernels/PlaneKernels.hpp"

extern "C" {
#include <libavutil/opt.h>
}
#include <zimg.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

namespace korvel {

int64_t VideoEncoding::expectedFrameRate() const {
    double seconds = static_cast<double>(grid.ticksPerFrame) / grid.timescale;
    return std::max<int64_t>(1, std::llround(1.0 / seconds));
}

struct EncoderPicture::Held {
    FFmpeg::Frame frame;
};

const AVFrame& EncoderPicture::frame() const { return *held_->frame; }

namespace {
size_t alignedUp(size_t bytes) { return (bytes + 63) / 64 * 64; }

// The three planes one after another in one buffer, rows 64-byte aligned,
// taken from the frame buffers: a picture freshly allocated for each frame
// is faulted in anew each time.
void planesFromFrameBuffers(AVFrame* f, size_t sample) {
    const auto width = static_cast<size_t>(f->width), height = static_cast<size_t>(f->height);
    const size_t luma = alignedUp(width * sample), chroma = alignedUp(width / 2 * sample);
    // Encoders may read a vector's width past a plane's last pixel.
    const size_t bytes = luma * height + 2 * chroma * (height / 2) + 64;
    auto held = std::make_unique<FrameBuffers::Floats>(FrameBuffers::take((bytes + 64 + sizeof(float) - 1) / sizeof(float)));
    auto* start = reinterpret_cast<uint8_t*>(held->data());
    uint8_t* base = start + (64 - reinterpret_cast<uintptr_t>(start) % 64) % 64;
    auto back = [](void* opaque, uint8_t*) {
        std::unique_ptr<FrameBuffers::Floats> buffer(static_cast<FrameBuffers::Floats*>(opaque));
        FrameBuffers::keep(std::move(*buffer));
    };
    f->buf[0] = av_buffer_create(base, bytes, back, held.get(), 0);
    if (!f->buf[0]) throw std::bad_alloc();
    held.release();
    f->data[0] = base;
    f->data[1] = base + luma * height;
    f->data[2] = f->data[1] + chroma * (height / 2);
    f->linesize[0] = static_cast<int>(luma);
    f->linesize[1] = f->linesize[2] = static_cast<int>(chroma);
    f->extended_data = f->data;
}
} // namespace

namespace {
[[noreturn]] void notDivisible() {
    throw SystemError("zimg", ZIMG_ERROR_IMAGE_NOT_DIVISIBLE,
                      "convert a picture for the encoder: image dimensions must be divisible by subsampling factor");
}

// The stream's planes from rows of luma codes and full-resolution colour
// differences, each row made while it is in cache: `lumaRow(y, luma, cb,
// cr)`. Chroma comes from the last four rows' colour differences.
template <class LumaRow>
EncoderPicture planes(const VideoEncoding& encoding, LumaRow&& lumaRow) {
    const auto width = static_cast<size_t>(encoding.size.width);
    const auto height = static_cast<size_t>(encoding.size.height);
    const bool hdr = encoding.dynamicRange == DynamicRange::keepHdr;
    if (width < 2 || height < 2 || width % 2 || height % 2) notDivisible();
    auto held = std::make_shared<EncoderPicture::Held>();
    held->frame = FFmpeg::frame();
    AVFrame* f = held->frame.get();
    f->format = hdr ? AV_PIX_FMT_YUV420P10LE : AV_PIX_FMT_YUV420P;
    f->width = static_cast<int>(width);
    f->height = static_cast<int>(height);
    planesFromFrameBuffers(f, hdr ? 2 : 1);
    f->color_primaries = hdr ? AVCOL_PRI_BT2020 : AVCOL_PRI_BT709;
    f->color_trc = hdr ? AVCOL_TRC_ARIB_STD_B67 : AVCOL_TRC_BT709;
    f->colorspace = hdr ? AVCOL_SPC_BT2020_NCL : AVCOL_SPC_BT709;
    f->color_range = AVCOL_RANGE_MPEG;

    const PlaneKernels::Codes codes{hdr ? 10 : 8};
    thread_local std::vector<float> scratch;
    const size_t line = width + 16;
    scratch.resize(line * 9);
    float* cb[4];
    float* cr[4];
    for (size_t k = 0; k < 4; ++k) cb[k] = scratch.data() + line * k, cr[k] = scratch.data() + line * (4 + k);
    float* filter = scratch.data() + line * 8;
    auto chromaRow = [&](size_t i) {
        size_t top = i == 0 ? 0 : 2 * i - 1, bottom = std::min(2 * i + 2, height - 1);
        size_t rows[4] = {top, 2 * i, 2 * i + 1, bottom};
        for (int p = 1; p <= 2; ++p) {
            float* const* ring = p == 1 ? cb : cr;
            const float* picked[4] = {ring[rows[0] % 4], ring[rows[1] % 4], ring[rows[2] % 4], ring[rows[3] % 4]};
            PlaneKernels::chromaRow(picked, static_cast<int>(width), codes,
                                    f->data[p] + static_cast<ptrdiff_t>(i) * f->linesize[p], filter);
        }
    };
    size_t next = 0;
    for (size_t y = 0; y < height; ++y) {
        lumaRow(y, f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0], cb[y % 4], cr[y % 4]);
        // Chroma row i needs rows up to 2i + 2 (the last row, at the bottom).
        while (next < height / 2 && std::min(2 * next + 2, height - 1) <= y) chromaRow(next++);
    }
    return EncoderPicture(std::move(held));
}
} // namespace

PlaneKernels::TargetCurve EncoderPicture::curve(const VideoEncoding& encoding) {
    return encoding.dynamicRange == DynamicRange::keepHdr ? PlaneKernels::TargetCurve::hlg : PlaneKernels::TargetCurve::bt709;
}

std::optional<ColorSpace> EncoderPicture::encodedSpace(const VideoEncoding& encoding) {
    if (encoding.dynamicRange == DynamicRange::keepHdr) return std::nullopt;
    return ColorSpace::itur709;
}

EncoderPicture EncoderPicture::from(const RGBAImage& image, const VideoEncoding& encoding, PixelDomain values) {
    const auto width = static_cast<size_t>(encoding.size.width);
    const bool hdr = encoding.dynamicRange == DynamicRange::keepHdr;
    const bool encoded = values == PixelDomain::gammaStraight;
    if (encoded && !encodedSpace(encoding)) throw std::logic_error("an HDR picture must come in light");
    // Standard range leaves the working space by the same camera curve the
    // decoder took it in with; HLG by the display-referred curve it was read
    // with. Straight to video-range codes.
    const PlaneKernels::TargetCurve target = encoded ? PlaneKernels::TargetCurve::bt709Encoded : curve(encoding);
    const PlaneKernels::Codes codes{hdr ? 10 : 8};
    const size_t sample = hdr ? 2 : 1;
    const int blackLuma = 16 << (codes.bits - 8);
    // The image may cover only part of the canvas; the rest is black.
    const auto left = static_cast<size_t>(std::clamp<int64_t>(image.x, 0, static_cast<int64_t>(width)));
    const auto right = static_cast<size_t>(std::clamp<int64_t>(int64_t{image.x} + image.width, static_cast<int64_t>(left),
                                                               static_cast<int64_t>(width)));
    return planes(encoding, [&](size_t y, uint8_t* luma, float* b, float* r) {
        auto black = [&](size_t from, size_t to) {
            for (size_t x = from; x < to; ++x) {
                if (hdr) reinterpret_cast<uint16_t*>(luma)[x] = static_cast<uint16_t>(blackLuma);
                else luma[x] = static_cast<uint8_t>(blackLuma);
            }
            std::fill(b + from, b + to, 0.0f);
            std::fill(r + from, r + to, 0.0f);
        };
        auto iy = static_cast<int64_t>(y) - image.y;
        if (iy < 0 || iy >= image.height || left == right) return black(0, width);
        black(0, left);
        black(right, width);
        const float* src = image.row(static_cast<int>(iy)) + (static_cast<int64_t>(left) - image.x) * 4;
        PlaneKernels::lumaRow(src, static_cast<int>(right - left), target, codes, luma + left * sample, b + left, r + left);
    });
}

EncoderPicture EncoderPicture::fromSignal(const SignalRow& row, const VideoEncoding& encoding) {
    const auto width = static_cast<size_t>(encoding.size.width);
    const PlaneKernels::TargetCurve target = curve(encoding);
    const PlaneKernels::Codes codes{encoding.dynamicRange == DynamicRange::keepHdr ? 10 : 8};
    thread_local std::vector<float> signal;
    signal.resize(width * 3);
    float* r = signal.data();
    float* g = r + width;
    float* b = g + width;
    return planes(encoding, [&](size_t y, uint8_t* luma, float* cb, float* cr) {
        row(static_cast<int>(y), r, g, b);
        PlaneKernels::signalRow(r, g, b, static_cast<int>(width), target, codes, luma, cb, cr);
    });
}

struct VideoEncoder::State {
    FFmpeg::Codec context;
    FFmpeg::Packet packet;
};

VideoEncoder::VideoEncoder(const VideoEncoding& encoding, bool globalHeader)
    : encoding_(encoding), state_(std::make_unique<State>()) {
    FFmpeg::prepare();
    auto refused = [] { return EngineFailure::writeFailed("The encoder refused its settings."); };
    bool hevc = encoding.codec == VideoEncoding::Codec::hevc;
    const AVCodec* codec = avcodec_find_encoder_by_name(hevc ? "libx265" : "libx264");
    if (!codec) throw refused();
    const auto& fps = encoding.grid.fps;
    if (encoding.size.width < 2 || encoding.size.height < 2 || encoding.size.width % 2 || encoding.size.height % 2 ||
        encoding.bitrate <= 0 || fps.num <= 0 || fps.den <= 0 || fps.num > INT32_MAX || fps.den > INT32_MAX) {
        throw refused();
    }
    FFmpeg::Codec c(avcodec_alloc_context3(codec));
    if (!c) throw std::bad_alloc();
    bool hdr = encoding.dynamicRange == DynamicRange::keepHdr;
    c->width = static_cast<int>(encoding.size.width);
    c->height = static_cast<int>(encoding.size.height);
    c->time_base = AVRational{static_cast<int>(fps.den), static_cast<int>(fps.num)};
    c->framerate = AVRational{static_cast<int>(fps.num), static_cast<int>(fps.den)};
    c->pix_fmt = encoding.tenBit() ? AV_PIX_FMT_YUV420P10LE : AV_PIX_FMT_YUV420P;
    c->bit_rate = encoding.bitrate;
    if (encoding.constrained) {
        c->rc_max_rate = encoding.bitrate;
        c->rc_buffer_size = static_cast<int>(std::min<int64_t>(INT32_MAX, 2 * encoding.bitrate));
    }
    if (encoding.keyframeIntervalSeconds) {
        c->gop_size = static_cast<int>(std::max<int64_t>(
            1, static_cast<int64_t>(std::floor(*encoding.keyframeIntervalSeconds * fps.num / fps.den + 1e-9))));
    }
    c->max_b_frames = encoding.allowsReordering ? 3 : 0;
    c->color_primaries = hdr ? AVCOL_PRI_BT2020 : AVCOL_PRI_BT709;
    c->color_trc = hdr ? AVCOL_TRC_ARIB_STD_B67 : AVCOL_TRC_BT709;
    c->colorspace = hdr ? AVCOL_SPC_BT2020_NCL : AVCOL_SPC_BT709;
    c->color_range = AVCOL_RANGE_MPEG;
    // A render alone lets the encoder take every core; renders running
    // together share them, as each encoder thread holds frames of its own.
    const int threads = RenderGates::codecThreads(2);
    // x265 reads the count as frame threads, which it sizes from its pool.
    c->thread_count = hevc ? CodecThreads::libraryChoice : threads;
    if (globalHeader) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "preset", encoding.preset.c_str(), 0);
    av_dict_set(&options, "profile", encoding.profile.c_str(), 0);
    if (hevc) {
        std::string params = "log-level=none";
        if (!encoding.allowsReordering) params += ":bframes=0";
        if (threads != CodecThreads::libraryChoice) params += ":pools=" + std::to_string(threads);
        av_dict_set(&options, "x265-params", params.c_str(), 0);
    } else if (encoding.keyframeIntervalSeconds) {
        // Keyframes exactly on the interval: preview windows start on one.
        av_dict_set(&options, "x264-params", "scenecut=0", 0);
    }
    int status = avcodec_open2(c.get(), codec, &options);
    av_dict_free(&options);
    if (status < 0) throw refused();
    state_->context = std::move(c);
    state_->packet = FFmpeg::packet();
}

VideoEncoder::~VideoEncoder() = default;

std::vector<uint8_t> VideoEncoder::extradata() const {
    const AVCodecContext* c = state_->context.get();
    if (!c->extradata || c->extradata_size <= 0) return {};
    return {c->extradata, c->extradata + c->extradata_size};
}

void VideoEncoder::describe(AVCodecParameters* into) const { avcodec_parameters_from_context(into, state_->context.get()); }

void VideoEncoder::drain(const Sink& sink) {
    for (;;) {
        int status = avcodec_receive_packet(state_->context.get(), state_->packet.get());
        if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return;
        if (status < 0) throw SystemError::ffmpeg(status, "encode a frame");
        AVPacket* p = state_->packet.get();
        Packet out;
        out.bytes.assign(p->data, p->data + p->size);
        out.pts = p->pts;
        out.dts = p->dts;
        out.isSync = p->flags & AV_PKT_FLAG_KEY;
        av_packet_unref(p);
        sink(std::move(out));
    }
}

void VideoEncoder::encode(const EncoderPicture& picture, int64_t index, const Sink& sink) {
    AVFrame* f = picture.held()->frame.get();
    f->pts = index;
    int status = avcodec_send_frame(state_->context.get(), f);
    if (status < 0) throw SystemError::ffmpeg(status, "encode a frame");
    drain(sink);
}

void VideoEncoder::finish(const Sink& sink) {
    int status = avcodec_send_frame(state_->context.get(), nullptr);
    if (status < 0 && status != AVERROR_EOF) throw SystemError::ffmpeg(status, "finish encoding");
    drain(sink);
}

} // namespace korvel
