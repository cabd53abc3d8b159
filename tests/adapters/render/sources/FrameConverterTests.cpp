#include "Adapters/Media/FFmpeg.hpp"
#include "Adapters/Render/Sources/FrameConverter.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace korvel;

namespace {

// A flat mid-grey frame (limited range, no chroma) in any 8- or 16-bit
// YUV layout.
FFmpeg::Frame grey(AVPixelFormat format, int width, int height) {
    FFmpeg::Frame f = FFmpeg::frame();
    f->format = format;
    f->width = width;
    f->height = height;
    f->color_range = AVCOL_RANGE_MPEG;
    f->colorspace = AVCOL_SPC_BT709;
    EXPECT_EQ(av_frame_get_buffer(f.get(), 0), 0);
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
    for (int c = 0; c < d->nb_components; ++c) {
        const auto& comp = d->comp[c];
        int w = c == 0 ? width : AV_CEIL_RSHIFT(width, d->log2_chroma_w);
        int h = c == 0 ? height : AV_CEIL_RSHIFT(height, d->log2_chroma_h);
        unsigned value = (c == 0 ? 126u : 128u) << (comp.depth - 8);
        for (int y = 0; y < h; ++y) {
            uint8_t* row = f->data[comp.plane] + y * f->linesize[comp.plane] + comp.offset;
            for (int x = 0; x < w; ++x) {
                if (comp.depth > 8) {
                    row[x * comp.step] = static_cast<uint8_t>(value);
                    row[x * comp.step + 1] = static_cast<uint8_t>(value >> 8);
                } else {
                    row[x * comp.step] = static_cast<uint8_t>(value);
                }
            }
        }
    }
    return f;
}

} // namespace

// Layouts the plane path does not read go through libswscale, whose context
// is replaced when the frames change.
TEST(FrameConverter, EveryLayoutGivesTheSameGrey) {
    FrameConverter converter(16, 8, FrameConverter::Transfer::bt709);
    struct Case {
        AVPixelFormat format;
        int width, height;
    };
    for (auto c : std::vector<Case>{{AV_PIX_FMT_YUV420P, 64, 32},
                                    {AV_PIX_FMT_NV12, 64, 32},
                                    {AV_PIX_FMT_NV12, 96, 48},
                                    {AV_PIX_FMT_YUV420P10LE, 64, 32},
                                    {AV_PIX_FMT_YUV422P, 32, 16}}) {
        auto frame = grey(c.format, c.width, c.height);
        const auto& out = converter.convert(*frame);
        ASSERT_EQ(out.size(), 16u * 8u * 4u);
        for (size_t i = 0; i < out.size(); i += 4) {
            for (int k = 0; k < 3; ++k) {
                ASSERT_LE(std::abs(int(out[i + k]) - 128), 2) << av_get_pix_fmt_name(c.format) << " at " << i / 4;
            }
            ASSERT_EQ(out[i + 3], 255);
        }
    }
}

// A smaller picture summed from the blocks a larger one just took gives the
// bytes reading the planes gives, where its blocks are whole numbers of the
// larger's; elsewhere, and for a frame the larger did not convert last, none.
TEST(FrameConverter, ASmallerPictureFromALargersBlocksIsTheSame) {
    struct Case {
        AVPixelFormat format;
        int width, height;
        int64_t finerWidth, finerHeight, width_, height_;
        bool derived;
    } cases[] = {
        {AV_PIX_FMT_YUV420P, 1920, 1080, 320, 180, 32, 18, true},
        {AV_PIX_FMT_YUVJ420P, 1280, 720, 320, 180, 32, 18, true},
        {AV_PIX_FMT_YUV422P, 640, 360, 320, 180, 32, 18, true},
        {AV_PIX_FMT_YUV444P, 960, 540, 160, 90, 32, 18, true},
        {AV_PIX_FMT_YUV420P, 1920, 1080, 320, 180, 40, 30, true},  // blocks of 8 × 6 of the finer's
        {AV_PIX_FMT_YUV420P, 1920, 1080, 320, 180, 48, 27, false}, // whole blocks, but not of the finer's
        {AV_PIX_FMT_YUV420P, 1918, 1078, 320, 180, 32, 18, false}, // no whole blocks at all
        {AV_PIX_FMT_YUV420P10LE, 1920, 1080, 320, 180, 32, 18, false},
    };
    for (const auto& c : cases) {
        FFmpeg::Frame frame = grey(c.format, c.width, c.height);
        // Noise, so that every block sums differently.
        const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(c.format);
        uint32_t seed = 7;
        for (int p = 0; p < 3 && d->comp[0].depth == 8; ++p) {
            const int h = p == 0 ? c.height : AV_CEIL_RSHIFT(c.height, d->log2_chroma_h);
            const int w = p == 0 ? c.width : AV_CEIL_RSHIFT(c.width, d->log2_chroma_w);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) frame->data[p][y * frame->linesize[p] + x] = uint8_t((seed = seed * 1664525 + 1013904223) >> 24);
        }
        FrameConverter finer(c.finerWidth, c.finerHeight, FrameConverter::Transfer::bt709);
        FrameConverter alone(c.width_, c.height_, FrameConverter::Transfer::sRGB);
        FrameConverter summed(c.width_, c.height_, FrameConverter::Transfer::sRGB);
        const std::vector<uint8_t> want = alone.convert(*frame);
        finer.convert(*frame);
        const std::vector<uint8_t>* got = summed.convertFrom(finer, *frame);
        ASSERT_EQ(got != nullptr, c.derived) << c.width << "x" << c.height << " to " << c.width_;
        if (got) {
            EXPECT_TRUE(*got == want) << c.width << "x" << c.height << " to " << c.width_;
        }
        FFmpeg::Frame other = grey(c.format, c.width, c.height);
        EXPECT_EQ(summed.convertFrom(finer, *other), nullptr) << c.width << "x" << c.height;
    }
}
