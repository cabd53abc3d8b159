// The plane loops are the hot path of every frame analyser.
#pragma GCC optimize("O3")

#include "Adapters/Render/Sources/FrameConverter.hpp"

#include "Adapters/Media/FFmpeg.hpp"
#include "Adapters/Media/SystemError.hpp"
#include "Core/Picture/Kernels/ConvertKernels.hpp"

#include <tbb/parallel_for.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

namespace korvel {

namespace {

struct Matrix {
    double kr, kb;
};

Matrix matrixOf(const AVFrame& frame) {
    switch (frame.colorspace) {
    case AVCOL_SPC_BT709: return {0.2126, 0.0722};
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M: return {0.299, 0.114};
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL: return {0.2627, 0.0593};
    case AVCOL_SPC_SMPTE240M: return {0.212, 0.087};
    default: return frame.height > 576 ? Matrix{0.2126, 0.0722} : Matrix{0.299, 0.114};
    }
}

bool fullRange(const AVFrame& frame) {
    auto f = static_cast<AVPixelFormat>(frame.format);
    return frame.color_range == AVCOL_RANGE_JPEG || f == AV_PIX_FMT_YUVJ420P || f == AV_PIX_FMT_YUVJ422P ||
           f == AV_PIX_FMT_YUVJ444P;
}

// 8-bit planar YUV that the plane path reads directly.
bool planar8(const AVFrame& frame, int& subW, int& subH) {
    switch (static_cast<AVPixelFormat>(frame.format)) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P: subW = subH = 1; return true;
    case AV_PIX_FMT_YUV422P:
    case AV_PIX_FMT_YUVJ422P: subW = 1, subH = 0; return true;
    case AV_PIX_FMT_YUV444P:
    case AV_PIX_FMT_YUVJ444P: subW = subH = 0; return true;
    default: return false;
    }
}

// From this many output pixels on, conversion runs in bands.
constexpr size_t largePicture = 100'000;

double bt709ToLinear(double v) { return v < 0.081 ? v / 4.5 : std::pow((v + 0.099) / 1.099, 1 / 0.45); }
double linearToSRGB(double l) { return l <= 0.0031308 ? 12.92 * l : 1.055 * std::pow(l, 1 / 2.4) - 0.055; }

} // namespace

FrameConverter::FrameConverter(int64_t width, int64_t height, Transfer transfer)
    : width_(std::max<int64_t>(width, 1)), height_(std::max<int64_t>(height, 1)), transfer_(transfer) {
    for (int i = 0; i < 256; ++i) {
        double v = i / 255.0;
        if (transfer_ == Transfer::sRGB) v = linearToSRGB(bt709ToLinear(v));
        lut_[i] = static_cast<uint8_t>(std::clamp(std::lround(v * 255), 0L, 255L));
        lutIsIdentity_ = lutIsIdentity_ && lut_[i] == i;
    }
    out_.assign(size_t(width_ * height_ * 4), 255);
}

struct FrameConverter::OtherFormats {
    FFmpeg::Scale scale;
};

FrameConverter::~FrameConverter() = default;

void FrameConverter::plan(Axis& axis, int source, int64_t target) {
    if (axis.source == source) return;
    axis = Axis{};
    axis.source = source;
    const double scale = double(source) / double(target);
    for (int64_t o = 0; o < target; ++o) {
        double a = double(o) * scale, b = double(o + 1) * scale;
        int first = std::min(static_cast<int>(std::floor(a)), source - 1);
        int last = std::max(first, std::min(static_cast<int>(std::ceil(b)) - 1, source - 1));
        axis.first.push_back(first);
        axis.count.push_back(last - first + 1);
        axis.offset.push_back(static_cast<int32_t>(axis.weights.size()));
        double total = 0;
        size_t start = axis.weights.size();
        for (int s = first; s <= last; ++s) {
            double w = std::min(b, double(s + 1)) - std::max(a, double(s));
            w = std::max(w, 0.0);
            axis.weights.push_back(static_cast<float>(w));
            total += w;
        }
        for (size_t k = start; k < axis.weights.size(); ++k)
            axis.weights[k] = total > 0 ? static_cast<float>(axis.weights[k] / total) : 1.0f / float(last - first + 1);
    }
}

namespace {
// The block of a whole-block resampling, or nothing: its sums of bytes
// down the columns must hold in 16 bits.
std::optional<std::pair<size_t, size_t>> wholeBlocks(int sourceWidth, int sourceHeight, size_t w, size_t h) {
    if (w == 0 || h == 0 || sourceWidth % int(w) != 0 || sourceHeight % int(h) != 0) return std::nullopt;
    const size_t rx = size_t(sourceWidth) / w, ry = size_t(sourceHeight) / h;
    if (rx == 0 || ry == 0 || ry * 255 > 65535) return std::nullopt;
    return std::pair{rx, ry};
}
// One row of whole blocks from its column sums: a block's width known to
// the compiler (`fixed`, 0 for any) unrolls the sums and turns the loop into
// vector code.
template <size_t fixed>
void blockRowOf(const uint16_t* sums, size_t w, size_t rx, uint32_t* kept, float* out, float scale) {
    const size_t n = fixed ? fixed : rx;
    for (size_t ox = 0; ox < w; ++ox) {
        uint32_t v = 0;
        for (size_t j = 0; j < n; ++j) v += sums[ox * n + j];
        kept[ox] = v;
        out[ox] = float(v) * scale;
    }
}

void blockRow(const uint16_t* sums, size_t w, size_t rx, uint32_t* kept, float* out, float scale) {
    switch (rx) {
    case 2: return blockRowOf<2>(sums, w, rx, kept, out, scale);
    case 3: return blockRowOf<3>(sums, w, rx, kept, out, scale);
    case 4: return blockRowOf<4>(sums, w, rx, kept, out, scale);
    case 6: return blockRowOf<6>(sums, w, rx, kept, out, scale);
    case 8: return blockRowOf<8>(sums, w, rx, kept, out, scale);
    default: return blockRowOf<0>(sums, w, rx, kept, out, scale);
    }
}
} // namespace

void FrameConverter::resample(const uint8_t* plane, int64_t stride, const Axis& ax, const Axis& ay, float* out,
                              BlockSums& kept) {
    const size_t w = ax.first.size(), h = ay.first.size();
    const size_t sourceWidth = size_t(ax.source);
    kept.plane = nullptr;
    // Whole blocks (1920 → 32, 1080 → 18, 1920 → 320): byte sums in 16 bits.
    if (const auto blocks = wholeBlocks(ax.source, ay.source, w, h)) {
        const auto [rx, ry] = *blocks;
        blockSums_.resize(sourceWidth);
        uint16_t* sums = blockSums_.data();
        kept.sums.resize(w * h);
        const float scale = 1.0f / float(rx * ry);
        for (size_t oy = 0; oy < h; ++oy) {
            ConvertKernels::columnSums(plane + int64_t(oy * ry) * stride, stride, int(ry), int(sourceWidth), sums);
            blockRow(sums, w, rx, kept.sums.data() + oy * w, out + oy * w, scale);
        }
        kept.width = w, kept.height = h, kept.blockWidth = rx, kept.blockHeight = ry, kept.plane = plane;
        return;
    }
    // Rows first: a plain loop over the source row that the compiler turns
    // into vector code, then the few output columns. Large pictures are cut
    // into bands converted side by side.
    auto band = [&](size_t from, size_t to) {
        std::vector<float> sums(sourceWidth);
        for (size_t oy = from; oy < to; ++oy) {
            std::fill(sums.begin(), sums.end(), 0.0f);
            for (int k = 0; k < ay.count[oy]; ++k) {
                const uint8_t* row = plane + int64_t(ay.first[oy] + k) * stride;
                const float wy = ay.weights[size_t(ay.offset[oy] + k)];
                for (size_t x = 0; x < sourceWidth; ++x) sums[x] += wy * float(row[x]);
            }
            float* o = out + oy * w;
            for (size_t ox = 0; ox < w; ++ox) {
                const float* v = sums.data() + ax.first[ox];
                const float* wx = &ax.weights[size_t(ax.offset[ox])];
                float sum = 0;
                for (int j = 0; j < ax.count[ox]; ++j) sum += v[j] * wx[j];
                o[ox] = sum;
            }
        }
    };
    if (w * h < largePicture) return band(0, h);
    tbb::parallel_for(tbb::blocked_range<size_t>(0, h, 32), [&](const auto& r) { band(r.begin(), r.end()); });
}

void FrameConverter::convertOther(const AVFrame& frame) {
    if (!other_) other_ = std::make_unique<OtherFormats>();
    // The cached context is kept, or freed and replaced, by libswscale.
    FFmpeg::Scale& scale = other_->scale;
    scale.reset(sws_getCachedContext(scale.release(), frame.width, frame.height, static_cast<AVPixelFormat>(frame.format),
                                     static_cast<int>(width_), static_cast<int>(height_), AV_PIX_FMT_BGRA, SWS_AREA,
                                     nullptr, nullptr, nullptr));
    if (!scale) throw SystemError(std::string(SystemError::ffmpegDomain), 0, "convert a frame: unsupported pixel format");
    uint8_t* dst[4] = {out_.data(), nullptr, nullptr, nullptr};
    int dstStride[4] = {static_cast<int>(width_ * 4), 0, 0, 0};
    sws_scale(scale.get(), frame.data, frame.linesize, 0, frame.height, dst, dstStride);
    if (transfer_ == Transfer::sRGB) {
        for (size_t i = 0; i < out_.size(); i += 4) {
            out_[i] = lut_[out_[i]];
            out_[i + 1] = lut_[out_[i + 1]];
            out_[i + 2] = lut_[out_[i + 2]];
        }
    }
}

const std::vector<uint8_t>& FrameConverter::convert(const AVFrame& frame) {
    for (BlockSums& kept : planeSums_) kept.plane = nullptr;
    int subW = 0, subH = 0;
    if (frame.width <= 0 || frame.height <= 0 || !planar8(frame, subW, subH)) {
        convertOther(frame);
        return out_;
    }
    const int cw = (frame.width + (1 << subW) - 1) >> subW, ch = (frame.height + (1 << subH) - 1) >> subH;
    plan(lumaX_, frame.width, width_);
    plan(lumaY_, frame.height, height_);
    plan(chromaX_, cw, width_);
    plan(chromaY_, ch, height_);
    const size_t n = size_t(width_ * height_);
    y_.resize(n);
    u_.resize(n);
    v_.resize(n);
    resample(frame.data[0], frame.linesize[0], lumaX_, lumaY_, y_.data(), planeSums_[0]);
    resample(frame.data[1], frame.linesize[1], chromaX_, chromaY_, u_.data(), planeSums_[1]);
    resample(frame.data[2], frame.linesize[2], chromaX_, chromaY_, v_.data(), planeSums_[2]);
    colour(frame);
    return out_;
}

const std::vector<uint8_t>* FrameConverter::convertFrom(const FrameConverter& finer, const AVFrame& frame) {
    int subW = 0, subH = 0;
    if (frame.width <= 0 || frame.height <= 0 || !planar8(frame, subW, subH)) return nullptr;
    const int cw = (frame.width + (1 << subW) - 1) >> subW, ch = (frame.height + (1 << subH) - 1) >> subH;
    const int widths[3] = {frame.width, cw, cw}, heights[3] = {frame.height, ch, ch};
    const size_t w = size_t(width_), h = size_t(height_);
    for (int p = 0; p < 3; ++p) {
        const BlockSums& fine = finer.planeSums_[p];
        if (!fine.plane || fine.plane != frame.data[p]) return nullptr;
        // The same blocks the planes would give this size, each a whole number of the finer's.
        const auto blocks = wholeBlocks(widths[p], heights[p], w, h);
        if (!blocks || fine.width % w != 0 || fine.height % h != 0 || blocks->first != fine.blockWidth * (fine.width / w) ||
            blocks->second != fine.blockHeight * (fine.height / h)) {
            return nullptr;
        }
    }
    const size_t n = w * h;
    y_.resize(n);
    u_.resize(n);
    v_.resize(n);
    float* planes[3] = {y_.data(), u_.data(), v_.data()};
    for (int p = 0; p < 3; ++p) {
        const BlockSums& fine = finer.planeSums_[p];
        const size_t kx = fine.width / w, ky = fine.height / h;
        const float scale = 1.0f / float(fine.blockWidth * kx * fine.blockHeight * ky);
        for (size_t oy = 0; oy < h; ++oy) {
            for (size_t ox = 0; ox < w; ++ox) {
                uint32_t v = 0;
                for (size_t j = 0; j < ky; ++j) {
                    const uint32_t* row = &fine.sums[(oy * ky + j) * fine.width + ox * kx];
                    for (size_t i = 0; i < kx; ++i) v += row[i];
                }
                planes[p][oy * w + ox] = float(v) * scale;
            }
        }
    }
    for (BlockSums& kept : planeSums_) kept.plane = nullptr;
    colour(frame);
    return &out_;
}

void FrameConverter::colour(const AVFrame& frame) {
    const size_t n = size_t(width_ * height_);
    const Matrix m = matrixOf(frame);
    const bool full = fullRange(frame);
    const float yScale = full ? 1.0f : 255.0f / 219.0f, yOffset = full ? 0.0f : 16.0f;
    const float cScale = full ? 1.0f : 255.0f / 224.0f;
    const float kg = static_cast<float>(1 - m.kr - m.kb);
    const float crToR = static_cast<float>(2 * (1 - m.kr)), cbToB = static_cast<float>(2 * (1 - m.kb));
    const float cbToG = static_cast<float>(2 * (1 - m.kb) * m.kb) / kg, crToG = static_cast<float>(2 * (1 - m.kr) * m.kr) / kg;
    const ConvertKernels::Matrix matrix{yOffset, yScale, cScale, cbToB, cbToG, crToG, crToR};
    auto pixels = [&](size_t from, size_t to) {
        ConvertKernels::bgra(y_.data() + from, u_.data() + from, v_.data() + from, int(to - from), matrix,
                             out_.data() + from * 4);
        if (lutIsIdentity_) return; // BT.709 codes stay as they are
        for (uint8_t *p = out_.data() + from * 4, *end = out_.data() + to * 4; p < end; p += 4) {
            p[0] = lut_[p[0]];
            p[1] = lut_[p[1]];
            p[2] = lut_[p[2]];
        }
    };
    if (n < largePicture) pixels(0, n);
    else tbb::parallel_for(tbb::blocked_range<size_t>(0, n, 16384), [&](const auto& r) { pixels(r.begin(), r.end()); });
}

} // namespace korvel
