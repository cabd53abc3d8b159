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
