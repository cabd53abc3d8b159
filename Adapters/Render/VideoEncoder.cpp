#include "Adapters/Render/VideoEncoder.hpp"

#include "Adapters/Render/FFmpeg.hpp"
#include "Adapters/Render/ZimgGraphs.hpp"
#include "Adapters/SystemError.hpp"
#include "Core/Jobs.hpp"
#include "Core/Render/PlaneKernels.hpp"

extern "C" {
#include <libavutil/opt.h>
}
#include <zimg.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

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

[[noreturn]] void zimgFailed(const char* doing) {
    char message[256] = {0};
    int code = zimg_get_last_error(message, sizeof message);
    throw SystemError("zimg", code, std::string(doing) + ": " + message);
}

} // namespace

EncoderPicture EncoderPicture::from(const RGBAImage& image, const VideoEncoding& encoding) {
    const auto width = static_cast<size_t>(encoding.size.width);
    const auto height = static_cast<size_t>(encoding.size.height);
    bool hdr = encoding.dynamicRange == DynamicRange::keepHdr;
    const size_t rowBytes = width * sizeof(float);
    ZimgGraphs::Plane r(rowBytes, height), g(rowBytes, height), b(rowBytes, height);
    // Standard range leaves the working space by the same camera curve the
    // decoder took it in with; HLG by the converter's own display-referred
    // curve on BT.2020 primaries. The converter then only applies the matrix,
    // the range and the chroma subsampling.
    const auto curve = hdr ? PlaneKernels::TargetCurve::hlg : PlaneKernels::TargetCurve::bt709;
    // The image may cover only part of the canvas; the rest is black, 0 on both curves.
    const auto left = static_cast<size_t>(std::clamp<int64_t>(image.x, 0, static_cast<int64_t>(width)));
    const auto right = static_cast<size_t>(std::clamp<int64_t>(int64_t{image.x} + image.width, static_cast<int64_t>(left),
                                                               static_cast<int64_t>(width)));
    for (size_t y = 0; y < height; ++y) {
        float* rows[3] = {r.row<float>(y), g.row<float>(y), b.row<float>(y)};
        auto iy = static_cast<int64_t>(y) - image.y;
        if (iy < 0 || iy >= image.height || left == right) {
            for (float* p : rows) std::fill(p, p + width, 0.0f);
            continue;
        }
        for (float* p : rows) {
            std::fill(p, p + left, 0.0f);
            std::fill(p + right, p + width, 0.0f);
        }
        const float* src = image.row(static_cast<int>(iy)) + (static_cast<int64_t>(left) - image.x) * 4;
        PlaneKernels::deinterleave(src, rows[0] + left, rows[1] + left, rows[2] + left, static_cast<int>(right - left), curve);
    }
    zimg_image_format src, dst;
    zimg_image_format_default(&src, ZIMG_API_VERSION);
    zimg_image_format_default(&dst, ZIMG_API_VERSION);
    src.width = dst.width = static_cast<unsigned>(width);
    src.height = dst.height = static_cast<unsigned>(height);
    src.pixel_type = ZIMG_PIXEL_FLOAT;
    src.depth = 32;
    src.color_family = ZIMG_COLOR_RGB;
    src.matrix_coefficients = ZIMG_MATRIX_RGB;
    src.pixel_range = ZIMG_RANGE_FULL;
    dst.pixel_type = hdr ? ZIMG_PIXEL_WORD : ZIMG_PIXEL_BYTE;
    dst.depth = hdr ? 10 : 8;
    dst.subsample_w = dst.subsample_h = 1;
    dst.color_family = ZIMG_COLOR_YUV;
    dst.matrix_coefficients = hdr ? ZIMG_MATRIX_BT2020_NCL : ZIMG_MATRIX_BT709;
    dst.pixel_range = ZIMG_RANGE_LIMITED;
    dst.chroma_location = ZIMG_CHROMA_LEFT;
    zimg_graph_builder_params params;
    zimg_graph_builder_params_default(&params, ZIMG_API_VERSION);
    params.nominal_peak_luminance = 203;
    params.dither_type = ZIMG_DITHER_NONE;
    const ZimgGraphs::Graph& graph = ZimgGraphs::forThread(src, dst, params);

    auto held = std::make_shared<Held>();
    held->frame = FFmpeg::frame();
    AVFrame* f = held->frame.get();
    f->format = hdr ? AV_PIX_FMT_YUV420P10LE : AV_PIX_FMT_YUV420P;
    f->width = static_cast<int>(width);
    f->height = static_cast<int>(height);
    if (av_frame_get_buffer(f, 64) < 0) throw std::bad_alloc();
    f->color_primaries = hdr ? AVCOL_PRI_BT2020 : AVCOL_PRI_BT709;
    f->color_trc = hdr ? AVCOL_TRC_ARIB_STD_B67 : AVCOL_TRC_BT709;
    f->colorspace = hdr ? AVCOL_SPC_BT2020_NCL : AVCOL_SPC_BT709;
    f->color_range = AVCOL_RANGE_MPEG;

    zimg_image_buffer_const in{};
    in.version = ZIMG_API_VERSION;
    const ZimgGraphs::Plane* planes[3] = {&r, &g, &b};
    for (int p = 0; p < 3; ++p) {
        in.plane[p].data = planes[p]->data();
        in.plane[p].stride = planes[p]->stride();
        in.plane[p].mask = ZIMG_BUFFER_MAX;
    }
    zimg_image_buffer out{};
    out.version = ZIMG_API_VERSION;
    for (int p = 0; p < 3; ++p) {
        out.plane[p].data = f->data[p];
        out.plane[p].stride = f->linesize[p];
        out.plane[p].mask = ZIMG_BUFFER_MAX;
    }
    if (zimg_filter_graph_process(graph.graph, &in, &out, graph.scratch, nullptr, nullptr, nullptr, nullptr) != ZIMG_ERROR_SUCCESS) {
        zimgFailed("convert a picture for the encoder");
    }
    return EncoderPicture(std::move(held));
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
    c->thread_count = 0;
    if (globalHeader) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "preset", encoding.preset.c_str(), 0);
    av_dict_set(&options, "profile", encoding.profile.c_str(), 0);
    if (hevc) {
        std::string params = "log-level=none";
        if (!encoding.allowsReordering) params += ":bframes=0";
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

namespace AnnexB {

std::vector<std::span<const uint8_t>> units(std::span<const uint8_t> s) {
    std::vector<std::span<const uint8_t>> out;
    size_t n = s.size(), i = 0, start = SIZE_MAX;
    while (i + 2 < n) {
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
            if (start != SIZE_MAX) {
                size_t end = i;
                while (end > start && s[end - 1] == 0) --end;
                out.push_back(s.subspan(start, end - start));
            }
            i += 3;
            start = i;
        } else {
            ++i;
        }
    }
    if (start != SIZE_MAX && start < n) out.push_back(s.subspan(start));
    return out;
}

std::vector<uint8_t> lengthPrefixed(std::span<const uint8_t> stream) {
    std::vector<uint8_t> out;
    out.reserve(stream.size() + 16);
    for (auto u : units(stream)) {
        auto len = static_cast<uint32_t>(u.size());
        out.push_back(static_cast<uint8_t>(len >> 24));
        out.push_back(static_cast<uint8_t>(len >> 16));
        out.push_back(static_cast<uint8_t>(len >> 8));
        out.push_back(static_cast<uint8_t>(len));
        out.insert(out.end(), u.begin(), u.end());
    }
    return out;
}

std::vector<uint8_t> avcC(std::span<const uint8_t> parameterSets) {
    std::vector<std::span<const uint8_t>> sps, pps;
    for (auto u : units(parameterSets)) {
        if (u.empty()) continue;
        int type = u[0] & 0x1f;
        if (type == 7) sps.push_back(u);
        if (type == 8) pps.push_back(u);
    }
    if (sps.empty() || pps.empty() || sps[0].size() < 4) return {};
    std::vector<uint8_t> out{1, sps[0][1], sps[0][2], sps[0][3], 0xff, static_cast<uint8_t>(0xe0 | sps.size())};
    auto put = [&](std::span<const uint8_t> u) {
        out.push_back(static_cast<uint8_t>(u.size() >> 8));
        out.push_back(static_cast<uint8_t>(u.size()));
        out.insert(out.end(), u.begin(), u.end());
    };
    for (auto u : sps) put(u);
    out.push_back(static_cast<uint8_t>(pps.size()));
    for (auto u : pps) put(u);
    return out;
}

} // namespace AnnexB
} // namespace korvel
