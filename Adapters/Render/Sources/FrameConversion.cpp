#include "Adapters/Render/Sources/FrameConversion.hpp"

#include "Adapters/Media/FFmpeg.hpp"
#include "Adapters/Media/SystemError.hpp"
#include "Adapters/Render/Drawing/Tiles.hpp"
#include "Adapters/Render/Sources/ZimgGraphs.hpp"
#include "Core/Picture/Kernels/PlaneKernels.hpp"

extern "C" {
#include <libavutil/imgutils.h>
}
#include <zimg.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace korvel::FrameConversion {

namespace {

using ZimgGraphs::Plane;

struct PlanarFormat {
    zimg_pixel_type_e type;
    unsigned depth;
    unsigned subW, subH;
    bool grey;
};

std::optional<PlanarFormat> planarFormat(AVPixelFormat f) {
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(f);
    if (!d) return std::nullopt;
    bool planar = d->flags & AV_PIX_FMT_FLAG_PLANAR;
    bool rgb = d->flags & AV_PIX_FMT_FLAG_RGB;
    bool bigEndian = d->flags & AV_PIX_FMT_FLAG_BE;
    bool hw = d->flags & AV_PIX_FMT_FLAG_HWACCEL;
    if (rgb || bigEndian || hw || d->flags & AV_PIX_FMT_FLAG_PAL || d->flags & AV_PIX_FMT_FLAG_BITSTREAM) return std::nullopt;
    unsigned depth = d->comp[0].depth;
    if (depth > 16) return std::nullopt;
    if (d->nb_components <= 2) {
        // Grey, perhaps with alpha: one plane is enough.
        if (d->comp[0].plane != 0 || d->comp[0].step != (depth > 8 ? 2 : 1)) return std::nullopt;
        return PlanarFormat{depth > 8 ? ZIMG_PIXEL_WORD : ZIMG_PIXEL_BYTE, depth, 0, 0, true};
    }
    if (!planar) return std::nullopt;
    for (int c = 0; c < 3; ++c) {
        if (d->comp[c].plane != c || static_cast<unsigned>(d->comp[c].depth) != depth || d->comp[c].shift != 0) return std::nullopt;
    }
    return PlanarFormat{depth > 8 ? ZIMG_PIXEL_WORD : ZIMG_PIXEL_BYTE, depth, d->log2_chroma_w, d->log2_chroma_h, false};
}

zimg_matrix_coefficients_e matrixOf(const AVFrame& frame) {
    switch (frame.colorspace) {
    case AVCOL_SPC_BT709: return ZIMG_MATRIX_BT709;
    case AVCOL_SPC_FCC: return ZIMG_MATRIX_FCC;
    case AVCOL_SPC_BT470BG: return ZIMG_MATRIX_BT470_BG;
    case AVCOL_SPC_SMPTE170M: return ZIMG_MATRIX_ST170_M;
    case AVCOL_SPC_SMPTE240M: return ZIMG_MATRIX_ST240_M;
    case AVCOL_SPC_YCGCO: return ZIMG_MATRIX_YCGCO;
    case AVCOL_SPC_BT2020_NCL: return ZIMG_MATRIX_BT2020_NCL;
    case AVCOL_SPC_BT2020_CL: return ZIMG_MATRIX_BT2020_CL;
    default:
        // Untagged pictures follow the habit of their size.
        return frame.height > 576 ? ZIMG_MATRIX_BT709 : ZIMG_MATRIX_ST170_M;
    }
}

bool isFullRange(const AVFrame& frame) {
    if (frame.color_range == AVCOL_RANGE_JPEG) return true;
    auto f = static_cast<AVPixelFormat>(frame.format);
    return f == AV_PIX_FMT_YUVJ420P || f == AV_PIX_FMT_YUVJ422P || f == AV_PIX_FMT_YUVJ444P ||
           f == AV_PIX_FMT_YUVJ440P || f == AV_PIX_FMT_YUVJ411P;
}

[[noreturn]] void zimgFailed(const char* doing) {
    char message[256] = {0};
    int code = zimg_get_last_error(message, sizeof message);
    throw SystemError("zimg", code, std::string(doing) + ": " + message);
}

// The frame's own planes as zimg reads them; the colour family's matrix
// and range are the caller's.
zimg_image_format sourceFormat(const AVFrame& frame, const PlanarFormat& in) {
    zimg_image_format src;
    zimg_image_format_default(&src, ZIMG_API_VERSION);
    src.width = static_cast<unsigned>(frame.width);
    src.height = static_cast<unsigned>(frame.height);
    src.pixel_type = in.type;
    src.depth = in.depth;
    src.subsample_w = in.subW;
    src.subsample_h = in.subH;
    src.color_family = in.grey ? ZIMG_COLOR_GREY : ZIMG_COLOR_YUV;
    src.chroma_location = frame.chroma_location == AVCHROMA_LOC_CENTER    ? ZIMG_CHROMA_CENTER
                          : frame.chroma_location == AVCHROMA_LOC_TOPLEFT ? ZIMG_CHROMA_TOP_LEFT
                                                                          : ZIMG_CHROMA_LEFT;
    return src;
}

// Runs one zimg conversion of the frame's planes into new planes of
// `outputSampleBytes` per sample: one plane for grey, else three. Input
// planes off 64-byte boundaries are copied first.
std::vector<std::unique_ptr<Plane>> convertPlanes(const AVFrame& frame, const PlanarFormat& in,
                                                         const zimg_image_format& src, const zimg_image_format& dst,
                                                         const zimg_graph_builder_params& params,
                                                         size_t outputSampleBytes) {
    const ZimgGraphs::Graph& graph = ZimgGraphs::forThread(src, dst, params);

    int planes = in.grey ? 1 : 3;
    size_t bytesPerSample = in.type == ZIMG_PIXEL_WORD ? 2 : 1;
    std::vector<std::unique_ptr<Plane>> inputs;
    zimg_image_buffer_const source{};
    source.version = ZIMG_API_VERSION;
    for (int p = 0; p < planes; ++p) {
        unsigned w = p == 0 ? src.width : (src.width + (1u << in.subW) - 1) >> in.subW;
        unsigned h = p == 0 ? src.height : (src.height + (1u << in.subH) - 1) >> in.subH;
        size_t rowBytes = w * bytesPerSample;
        const uint8_t* data = frame.data[p];
        ptrdiff_t stride = frame.linesize[p];
        if (reinterpret_cast<uintptr_t>(data) % 64 != 0 || stride % 64 != 0 || stride < 0) {
            inputs.push_back(std::make_unique<Plane>(rowBytes, h));
            auto& copy = *inputs.back();
            for (unsigned y = 0; y < h; ++y) std::memcpy(copy.row<uint8_t>(y), data + y * stride, rowBytes);
            data = copy.data();
            stride = copy.stride();
        }
        source.plane[p].data = data;
        source.plane[p].stride = stride;
        source.plane[p].mask = ZIMG_BUFFER_MAX;
    }
    std::vector<std::unique_ptr<Plane>> outputs;
    zimg_image_buffer target{};
    target.version = ZIMG_API_VERSION;
    for (int p = 0; p < planes; ++p) {
        outputs.push_back(std::make_unique<Plane>(static_cast<size_t>(dst.width) * outputSampleBytes, dst.height));
        target.plane[p].data = outputs.back()->data();
        target.plane[p].stride = outputs.back()->stride();
        target.plane[p].mask = ZIMG_BUFFER_MAX;
    }
    if (zimg_filter_graph_process(graph.graph, &source, &target, graph.scratch, nullptr, nullptr, nullptr, nullptr) !=
        ZIMG_ERROR_SUCCESS) {
        zimgFailed("convert a picture");
    }
    return outputs;
}

// YUV or grey to RGB at the wanted size, through zimg.
Picture convertPlanar(const AVFrame& frame, const PlanarFormat& in, RenderSize size) {
    zimg_image_format src = sourceFormat(frame, in), dst;
    zimg_image_format_default(&dst, ZIMG_API_VERSION);
    src.matrix_coefficients = in.grey ? ZIMG_MATRIX_UNSPECIFIED : matrixOf(frame);
    src.pixel_range = isFullRange(frame) ? ZIMG_RANGE_FULL : ZIMG_RANGE_LIMITED;
    dst.width = static_cast<unsigned>(size.width);
    dst.height = static_cast<unsigned>(size.height);
    dst.pixel_type = ZIMG_PIXEL_BYTE;
    dst.depth = 8;
    dst.color_family = in.grey ? ZIMG_COLOR_GREY : ZIMG_COLOR_RGB;
    dst.matrix_coefficients = in.grey ? ZIMG_MATRIX_UNSPECIFIED : ZIMG_MATRIX_RGB;
    dst.pixel_range = ZIMG_RANGE_FULL;
    zimg_graph_builder_params params;
    zimg_graph_builder_params_default(&params, ZIMG_API_VERSION);
    params.resample_filter = ZIMG_RESIZE_LANCZOS;
    params.dither_type = ZIMG_DITHER_ORDERED;
    auto outputs = convertPlanes(frame, in, src, dst, params, 1);
    const int planes = in.grey ? 1 : 3;
    Picture out;
    out.width = size.width;
    out.height = size.height;
    out.bands = 3;
    out.pixels.resize(static_cast<size_t>(size.width * size.height * 3));
    for (int64_t y = 0; y < size.height; ++y) {
        uint8_t* row = &out.pixels[static_cast<size_t>(y * size.width * 3)];
        for (int64_t x = 0; x < size.width; ++x) {
            for (int c = 0; c < 3; ++c) {
                const auto& plane = *outputs[static_cast<size_t>(planes == 1 ? 0 : c)];
                row[x * 3 + c] = plane.row<uint8_t>(static_cast<size_t>(y))[x];
            }
        }
    }
    return out;
}

// Any other pixel format: libswscale straight to RGB.
Picture convertOther(const AVFrame& frame, RenderSize size) {
    FFmpeg::Scale scale(sws_getContext(frame.width, frame.height, static_cast<AVPixelFormat>(frame.format),
                                       static_cast<int>(size.width), static_cast<int>(size.height), AV_PIX_FMT_RGB24,
                                       SWS_LANCZOS, nullptr, nullptr, nullptr));
    if (!scale) throw SystemError(std::string(SystemError::ffmpegDomain), 0, "convert a picture: unsupported pixel format");
    Picture out;
    out.width = size.width;
    out.height = size.height;
    out.bands = 3;
    out.pixels.resize(static_cast<size_t>(size.width * size.height * 3));
    uint8_t* dst[4] = {out.pixels.data(), nullptr, nullptr, nullptr};
    int dstStride[4] = {static_cast<int>(size.width * 3), 0, 0, 0};
    sws_scale(scale.get(), frame.data, frame.linesize, 0, frame.height, dst, dstStride);
    return out;
}


zimg_transfer_characteristics_e transferOf(AVColorTransferCharacteristic t) {
    switch (t) {
    case AVCOL_TRC_BT709: case AVCOL_TRC_SMPTE170M: case AVCOL_TRC_BT2020_10: case AVCOL_TRC_BT2020_12:
        return ZIMG_TRANSFER_BT709;
    case AVCOL_TRC_GAMMA22: return ZIMG_TRANSFER_470_M;
    case AVCOL_TRC_GAMMA28: return ZIMG_TRANSFER_470_BG;
    case AVCOL_TRC_SMPTE240M: return ZIMG_TRANSFER_240M;
    case AVCOL_TRC_LINEAR: return ZIMG_TRANSFER_LINEAR;
    case AVCOL_TRC_IEC61966_2_4: return ZIMG_TRANSFER_IEC_61966_2_4;
    case AVCOL_TRC_IEC61966_2_1: return ZIMG_TRANSFER_IEC_61966_2_1;
    case AVCOL_TRC_SMPTE2084: return ZIMG_TRANSFER_ST2084;
    case AVCOL_TRC_ARIB_STD_B67: return ZIMG_TRANSFER_ARIB_B67;
    default: return ZIMG_TRANSFER_BT709;
    }
}

zimg_color_primaries_e primariesOf(AVColorPrimaries p) {
    switch (p) {
    case AVCOL_PRI_BT709: return ZIMG_PRIMARIES_BT709;
    case AVCOL_PRI_BT470M: return ZIMG_PRIMARIES_BT470_M;
    case AVCOL_PRI_BT470BG: return ZIMG_PRIMARIES_BT470_BG;
    case AVCOL_PRI_SMPTE170M: return ZIMG_PRIMARIES_ST170_M;
    case AVCOL_PRI_SMPTE240M: return ZIMG_PRIMARIES_ST240_M;
    case AVCOL_PRI_FILM: return ZIMG_PRIMARIES_FILM;
    case AVCOL_PRI_BT2020: return ZIMG_PRIMARIES_BT2020;
    case AVCOL_PRI_SMPTE428: return ZIMG_PRIMARIES_ST428;
    case AVCOL_PRI_SMPTE431: return ZIMG_PRIMARIES_ST431_2;
    case AVCOL_PRI_SMPTE432: return ZIMG_PRIMARIES_ST432_1;
    case AVCOL_PRI_EBU3213: return ZIMG_PRIMARIES_EBU3213_E;
    default: return ZIMG_PRIMARIES_BT709;
    }
}

// The colour description a frame is converted from: the container's tags,
// else the bitstream's, else BT.709.
struct SourceColor {
    AVColorSpace matrix = AVCOL_SPC_UNSPECIFIED;
    AVColorTransferCharacteristic transfer = AVCOL_TRC_UNSPECIFIED;
    AVColorPrimaries primaries = AVCOL_PRI_UNSPECIFIED;
    std::optional<bool> fullRange;
};

SourceColor colorOf(const AVFrame& frame, const std::optional<AssetColor>& tags) {
    SourceColor c;
    if (tags) {
        int m = av_color_space_from_name(tags->matrix.c_str());
        int t = av_color_transfer_from_name(tags->transfer.c_str());
        int p = av_color_primaries_from_name(tags->primaries.c_str());
        if (m >= 0) c.matrix = static_cast<AVColorSpace>(m);
        if (t >= 0) c.transfer = static_cast<AVColorTransferCharacteristic>(t);
        if (p >= 0) c.primaries = static_cast<AVColorPrimaries>(p);
        if (tags->fullRange) c.fullRange = true;
    }
    if (c.matrix == AVCOL_SPC_UNSPECIFIED) c.matrix = frame.colorspace;
    if (c.transfer == AVCOL_TRC_UNSPECIFIED) c.transfer = frame.color_trc;
    if (c.primaries == AVCOL_PRI_UNSPECIFIED) c.primaries = frame.color_primaries;
    return c;
}

// Brings the frame to planes zimg reads, when its own layout is not one.
FFmpeg::Frame planarCopy(const AVFrame& frame) {
    FFmpeg::Frame out = FFmpeg::frame();
    if (!out) throw std::bad_alloc();
    out->format = AV_PIX_FMT_YUV444P16LE;
    out->width = frame.width;
    out->height = frame.height;
    if (av_frame_get_buffer(out.get(), 64) < 0) throw std::bad_alloc();
    av_frame_copy_props(out.get(), &frame);
    FFmpeg::Scale scale(sws_getContext(frame.width, frame.height, static_cast<AVPixelFormat>(frame.format), frame.width,
                                       frame.height, AV_PIX_FMT_YUV444P16LE, SWS_POINT, nullptr, nullptr, nullptr));
    if (!scale) throw SystemError(std::string(SystemError::ffmpegDomain), 0, "convert a picture: unsupported pixel format");
    sws_scale(scale.get(), frame.data, frame.linesize, 0, frame.height, out->data, out->linesize);
    return out;
}

// The frame itself when zimg reads its planes, else a copy that it reads.
PlanarFormat readable(const AVFrame*& frame, FFmpeg::Frame& copy) {
    if (auto in = planarFormat(static_cast<AVPixelFormat>(frame->format))) return *in;
    copy = planarCopy(*frame);
    frame = copy.get();
    auto in = planarFormat(static_cast<AVPixelFormat>(frame->format));
    if (!in) throw SystemError(std::string(SystemError::ffmpegDomain), 0, "convert a picture: unsupported pixel format");
    return *in;
}

// Luma weights of the matrices read without the converter.
std::optional<std::pair<double, double>> lumaWeights(zimg_matrix_coefficients_e matrix) {
    switch (matrix) {
    case ZIMG_MATRIX_BT709: return std::pair{0.2126, 0.0722};
    case ZIMG_MATRIX_BT470_BG: case ZIMG_MATRIX_ST170_M: return std::pair{0.299, 0.114};
    case ZIMG_MATRIX_BT2020_NCL: return std::pair{0.2627, 0.0593};
    default: return std::nullopt;
    }
}

// The everyday layout, 4:2:0 of even size sited left, is read row by row
// in vector code, as the converter would read it, without its whole-frame
// planes in between.
bool readsDirectly(const AVFrame& frame, const PlanarFormat& in, const zimg_image_format& src) {
    return !in.grey && in.subW == 1 && in.subH == 1 && src.chroma_location == ZIMG_CHROMA_LEFT && frame.width % 2 == 0 &&
           frame.height % 2 == 0 && frame.width > 0 && frame.height > 0 && lumaWeights(src.matrix_coefficients);
}

// How a frame comes into the working space: the converter's formats, and
// the curve it is taken off with by the direct road or after the converter.
struct Intake {
    zimg_image_format src, dst;
    PlaneKernels::Reading curve;
    bool direct = false;
};

Intake intakeOf(const AVFrame& frame, const PlanarFormat& in, const std::optional<AssetColor>& tags, DynamicRange output,
                  FrameValues values) {
    Intake r;
    SourceColor color = colorOf(frame, tags);
    zimg_transfer_characteristics_e transfer = transferOf(color.transfer);
    bool hdr = transfer == ZIMG_TRANSFER_ARIB_B67 || transfer == ZIMG_TRANSFER_ST2084;
    r.src = sourceFormat(frame, in);
    zimg_image_format_default(&r.dst, ZIMG_API_VERSION);
    r.dst.width = r.src.width;
    r.dst.height = r.src.height;
    AVFrame tagged = frame;
    tagged.colorspace = color.matrix;
    r.src.matrix_coefficients = in.grey ? ZIMG_MATRIX_UNSPECIFIED : matrixOf(tagged);
    r.src.pixel_range = (color.fullRange.value_or(false) || isFullRange(frame)) ? ZIMG_RANGE_FULL : ZIMG_RANGE_LIMITED;
    r.dst.pixel_type = ZIMG_PIXEL_FLOAT;
    r.dst.depth = 32;
    r.dst.color_family = in.grey ? ZIMG_COLOR_GREY : ZIMG_COLOR_RGB;
    r.dst.matrix_coefficients = in.grey ? ZIMG_MATRIX_UNSPECIFIED : ZIMG_MATRIX_RGB;
    r.dst.pixel_range = ZIMG_RANGE_FULL;
    const bool picture = values == FrameValues::picture;
    const bool wide = primariesOf(color.primaries) == ZIMG_PRIMARIES_BT2020;
    // HLG on BT.2020 primaries is linearised below, in vector code with the
    // converter's own display-referred formulas; PQ (and HLG of other
    // primaries) by the converter. Standard-range pictures only get their
    // matrix there and are linearised below by the inverse of their camera
    // curve, the same curve grading encodes with.
    const bool ownHLG = picture && transfer == ZIMG_TRANSFER_ARIB_B67 && wide;
    if (picture && hdr && !ownHLG) {
        r.src.transfer_characteristics = transfer;
        r.src.color_primaries = primariesOf(color.primaries);
        r.dst.transfer_characteristics = ZIMG_TRANSFER_LINEAR;
        r.dst.color_primaries = ZIMG_PRIMARIES_BT709;
    }
    if (ownHLG) {
        r.curve.curve = PlaneKernels::SourceCurve::hlg;
    } else if (picture && !hdr) {
        r.curve.curve = transfer == ZIMG_TRANSFER_IEC_61966_2_1 ? PlaneKernels::SourceCurve::srgb : PlaneKernels::SourceCurve::bt709;
        r.curve.wide = wide;
    }
    // HLG is mastered for 1000 cd/m2; PQ pictures are taken as the same.
    r.curve.toneMap = picture && hdr && output == DynamicRange::sdr;
    r.direct = readsDirectly(frame, in, r.src) && !(picture && hdr && !ownHLG);
    return r;
}

PlaneKernels::Source directSource(const PlanarFormat& in, const zimg_image_format& src) {
    PlaneKernels::Source source;
    source.bits = static_cast<int>(in.depth);
    source.fullRange = src.pixel_range == ZIMG_RANGE_FULL;
    auto [kr, kb] = *lumaWeights(src.matrix_coefficients);
    PlaneKernels::ycbcrToRgb(kr, kb, source.matrix);
    return source;
}

// Row y's R'G'B' from the planes of the everyday layout, the edge chroma row repeated.
void signalRowOf(const AVFrame& frame, const PlaneKernels::Source& source, int y, float* r, float* g, float* b,
                 float* scratch) {
    const int chromaRows = frame.height / 2;
    int nearer = y / 2, other = std::clamp(y % 2 == 0 ? nearer - 1 : nearer + 1, 0, chromaRows - 1);
    auto at = [&](int plane, int row) -> const void* {
        return frame.data[plane] + static_cast<ptrdiff_t>(row) * frame.linesize[plane];
    };
    const void* chroma[4] = {at(1, nearer), at(1, other), at(2, nearer), at(2, other)};
    PlaneKernels::ycbcrRow(at(0, y), chroma, frame.width, source, r, g, b, scratch);
}

// Row y in the working space, read directly from the planes.
void directRow(const AVFrame& frame, const PlaneKernels::Source& source, const PlaneKernels::Reading& reading, int y,
               float* rgba) {
    thread_local std::vector<float> scratch;
    const size_t kernel = PlaneKernels::ycbcrScratch(frame.width), line = static_cast<size_t>(frame.width);
    scratch.resize(kernel + 3 * line);
    float* r = scratch.data() + kernel;
    float* g = r + line;
    float* b = g + line;
    signalRowOf(frame, source, y, r, g, b, scratch.data());
    PlaneKernels::interleave(r, g, b, rgba, frame.width, reading);
}

void readDirectly(const AVFrame& frame, const PlanarFormat& in, const Intake& intake, RGBAImage& out) {
    const PlaneKernels::Source source = directSource(in, intake.src);
    Tiles::rows(0, frame.height, [&](int from, int to) {
        for (int y = from; y < to; ++y) directRow(frame, source, intake.curve, y, out.row(y));
    });
}

// The frame in the working space (or as mask values), through zimg.
RGBAImage convertFloat(const AVFrame& original, const std::optional<AssetColor>& tags, DynamicRange output,
                       FrameValues values) {
    FFmpeg::Frame copy;
    const AVFrame* frame = &original;
    const PlanarFormat in = readable(frame, copy);
    const Intake intake = intakeOf(*frame, in, tags, output, values);
    RGBAImage out = RGBAImage::blank(0, 0, frame->width, frame->height);
    if (intake.direct) {
        readDirectly(*frame, in, intake, out);
        return out;
    }
    zimg_graph_builder_params params;
    zimg_graph_builder_params_default(&params, ZIMG_API_VERSION);
    params.resample_filter = ZIMG_RESIZE_BICUBIC;
    params.nominal_peak_luminance = 203; // the working space's 1.0
    auto outputs = convertPlanes(*frame, in, intake.src, intake.dst, params, 4);
    const size_t planes = in.grey ? 1 : 3;
    Tiles::rows(0, frame->height, [&](int from, int to) {
        for (int y = from; y < to; ++y) {
            auto line = static_cast<size_t>(y);
            PlaneKernels::interleave(outputs[0]->row<float>(line), outputs[planes == 1 ? 0 : 1]->row<float>(line),
                                     outputs[planes == 1 ? 0 : 2]->row<float>(line), out.row(y), frame->width,
                                     intake.curve);
        }
    });
    return out;
}

// The frame at another size in its own coding, 4:4:4 in 16 bits, its tags
// kept: only the size changes, so the colour is then read as it would be
// at full size.
FFmpeg::Frame resizedCopy(const AVFrame& original, RenderSize size) {
    FFmpeg::Frame copy;
    const AVFrame* frame = &original;
    const PlanarFormat in = readable(frame, copy);
    zimg_image_format src = sourceFormat(*frame, in), dst;
    zimg_image_format_default(&dst, ZIMG_API_VERSION);
    src.matrix_coefficients = in.grey ? ZIMG_MATRIX_UNSPECIFIED : matrixOf(*frame);
    src.pixel_range = isFullRange(*frame) ? ZIMG_RANGE_FULL : ZIMG_RANGE_LIMITED;
    dst.width = static_cast<unsigned>(size.width);
    dst.height = static_cast<unsigned>(size.height);
    dst.pixel_type = ZIMG_PIXEL_WORD;
    dst.depth = 16;
    dst.color_family = src.color_family;
    dst.matrix_coefficients = src.matrix_coefficients;
    dst.pixel_range = src.pixel_range;
    zimg_graph_builder_params params;
    zimg_graph_builder_params_default(&params, ZIMG_API_VERSION);
    params.resample_filter = ZIMG_RESIZE_LANCZOS;
    auto planes = convertPlanes(*frame, in, src, dst, params, 2);

    FFmpeg::Frame out = FFmpeg::frame();
    if (!out) throw std::bad_alloc();
    out->format = in.grey ? AV_PIX_FMT_GRAY16LE : AV_PIX_FMT_YUV444P16LE;
    out->width = static_cast<int>(size.width);
    out->height = static_cast<int>(size.height);
    if (av_frame_get_buffer(out.get(), 64) < 0) throw std::bad_alloc();
    av_frame_copy_props(out.get(), frame);
    // Untagged matrices follow the size of the picture as coded.
    out->colorspace = frame->colorspace != AVCOL_SPC_UNSPECIFIED ? frame->colorspace
                      : frame->height > 576                       ? AVCOL_SPC_BT709
                                                                  : AVCOL_SPC_SMPTE170M;
    out->color_range = isFullRange(*frame) ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    for (size_t p = 0; p < planes.size(); ++p) {
        for (int64_t y = 0; y < size.height; ++y) {
            std::memcpy(out->data[p] + y * out->linesize[p], planes[p]->row<uint8_t>(static_cast<size_t>(y)),
                        static_cast<size_t>(size.width) * 2);
        }
    }
    return out;
}
} // namespace

struct SignalRows::State {
    FFmpeg::Frame frame;
    PlaneKernels::Source source;
};

SignalRows::SignalRows(std::shared_ptr<const State> state) : state_(std::move(state)) {}

int SignalRows::width() const { return state_->frame->width; }
int SignalRows::height() const { return state_->frame->height; }

void SignalRows::row(int y, float* r, float* g, float* b) const {
    thread_local std::vector<float> scratch;
    scratch.resize(PlaneKernels::ycbcrScratch(state_->frame->width));
    signalRowOf(*state_->frame, state_->source, y, r, g, b, scratch.data());
}

struct PictureRows::State {
    FFmpeg::Frame frame;
    PlaneKernels::Source source;
    PlaneKernels::Reading reading;
};

PictureRows::PictureRows(std::shared_ptr<const State> state) : state_(std::move(state)) {}

int PictureRows::width() const { return state_->frame->width; }
int PictureRows::height() const { return state_->frame->height; }

void PictureRows::row(int y, float* rgba) const { directRow(*state_->frame, state_->source, state_->reading, y, rgba); }

std::optional<PictureRows> pictureRows(const AVFrame& frame, const std::optional<AssetColor>& color, DynamicRange output) {
    auto in = planarFormat(static_cast<AVPixelFormat>(frame.format));
    if (!in) return std::nullopt;
    const Intake intake = intakeOf(frame, *in, color, output, FrameValues::picture);
    if (!intake.direct) return std::nullopt;
    auto state = std::make_shared<PictureRows::State>();
    state->frame = FFmpeg::frame();
    if (!state->frame || av_frame_ref(state->frame.get(), &frame) < 0) throw std::bad_alloc();
    state->source = directSource(*in, intake.src);
    state->reading = intake.curve;
    return PictureRows(std::move(state));
}

std::optional<SignalRows> signal(const AVFrame& frame, const std::optional<AssetColor>& color, DynamicRange output,
                                 PlaneKernels::TargetCurve target) {
    auto in = planarFormat(static_cast<AVPixelFormat>(frame.format));
    if (!in) return std::nullopt;
    const Intake intake = intakeOf(frame, *in, color, output, FrameValues::picture);
    const PlaneKernels::Reading& c = intake.curve;
    using S = PlaneKernels::SourceCurve;
    using T = PlaneKernels::TargetCurve;
    const bool same = !c.toneMap && ((target == T::hlg && c.curve == S::hlg) || (target == T::bt709 && c.curve == S::bt709 && !c.wide));
    if (!intake.direct || !same) return std::nullopt;
    auto state = std::make_shared<SignalRows::State>();
    state->frame = FFmpeg::frame();
    if (!state->frame || av_frame_ref(state->frame.get(), &frame) < 0) throw std::bad_alloc();
    state->source = directSource(*in, intake.src);
    return SignalRows(std::move(state));
}

Picture picture(const AVFrame& frame, RenderSize size) {
    auto planar = planarFormat(static_cast<AVPixelFormat>(frame.format));
    return planar ? convertPlanar(frame, *planar, size) : convertOther(frame, size);
}

RGBAImage converted(const AVFrame& frame, const std::optional<AssetColor>& color, DynamicRange output,
                    FrameValues values) {
    return convertFloat(frame, color, output, values);
}

RGBAImage converted(const AVFrame& frame, RenderSize size, const std::optional<AssetColor>& color, DynamicRange output,
                    FrameValues values) {
    if (size.width == frame.width && size.height == frame.height) return convertFloat(frame, color, output, values);
    FFmpeg::Frame resized = resizedCopy(frame, size);
    return convertFloat(*resized, color, output, values);
}

} // namespace korvel::FrameConversion
