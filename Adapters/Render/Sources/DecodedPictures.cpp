#include "Adapters/Render/Sources/DecodedPictures.hpp"

#include "Adapters/Media/FFmpeg.hpp"
#include "Core/Picture/FrameBuffers.hpp"

extern "C" {
#include <libavutil/imgutils.h>
}

#include <cstdint>
#include <new>

namespace korvel {

namespace {

// The library's row alignment for its widest vector code, and the padding
// it reads past a plane's end.
constexpr size_t strideAlign = 64;
constexpr size_t padding = 16 + strideAlign - 1;

AVBufferRef* mapped(void*, size_t size) {
    void* block = nullptr;
    try {
        block = FrameBuffers::allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    auto free = [](void* bytes, uint8_t* data) { FrameBuffers::deallocate(data, reinterpret_cast<size_t>(bytes)); };
    AVBufferRef* ref = av_buffer_create(static_cast<uint8_t*>(block), size, free, reinterpret_cast<void*>(size), 0);
    if (!ref) FrameBuffers::deallocate(block, size);
    return ref;
}

} // namespace

DecodedPictures::~DecodedPictures() { release(); }

void DecodedPictures::release() {
    // Pictures still out keep their pool until they come back.
    av_buffer_pool_uninit(&pool_);
    linesize_ = {};
    offsets_ = {};
}

bool DecodedPictures::plan(AVCodecContext* context, const AVFrame& frame) {
    if (frame.format == format_ && frame.width == width_ && frame.height == height_) return pool_ != nullptr;
    release();
    format_ = frame.format, width_ = frame.width, height_ = frame.height;
    const auto format = static_cast<AVPixelFormat>(frame.format);
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
    if (!d || (d->flags & (AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM)) ||
        frame.width <= 0 || frame.height <= 0) {
        return false;
    }
    // The library's own layout: its size alignment, and rows widened until
    // every plane's stride is aligned, never each plane on its own.
    int w = frame.width, h = frame.height;
    int aligns[AV_NUM_DATA_POINTERS];
    avcodec_align_dimensions2(context, &w, &h, aligns);
    int linesize[4] = {};
    for (bool unaligned = true; unaligned;) {
        if (av_image_fill_linesizes(linesize, format, w) < 0) return false;
        w += w & ~(w - 1);
        unaligned = false;
        for (int i = 0; i < 4; ++i) unaligned = unaligned || linesize[i] % aligns[i] != 0;
    }
    ptrdiff_t strides[4];
    for (int i = 0; i < 4; ++i) strides[i] = linesize[i];
    size_t sizes[4] = {};
    if (av_image_fill_plane_sizes(sizes, format, h, strides) < 0) return false;
    // The planes one after another in one block, each on a vector's boundary.
    size_t total = 0;
    for (int p = 0; p < 4; ++p) {
        linesize_[static_cast<size_t>(p)] = sizes[p] ? linesize[p] : 0;
        offsets_[static_cast<size_t>(p)] = total;
        total += (sizes[p] + strideAlign - 1) / strideAlign * strideAlign;
    }
    // Small pictures are the heap's, which aligns them less than the library wants.
    if (total < FrameBuffers::largeBytes) return false;
    pool_ = av_buffer_pool_init2(total + padding, nullptr, mapped, nullptr);
    return pool_ != nullptr;
}

int DecodedPictures::get(AVCodecContext* context, AVFrame* frame, int flags) {
    auto* self = static_cast<DecodedPictures*>(context->opaque);
    if (!self || !(context->codec->capabilities & AV_CODEC_CAP_DR1)) return avcodec_default_get_buffer2(context, frame, flags);
    {
        std::lock_guard guard(self->lock_);
        if (self->plan(context, *frame)) {
            frame->buf[0] = av_buffer_pool_get(self->pool_);
            if (!frame->buf[0]) {
                av_frame_unref(frame);
                return AVERROR(ENOMEM);
            }
            for (size_t p = 0; p < self->linesize_.size() && self->linesize_[p]; ++p) {
                frame->data[p] = frame->buf[0]->data + self->offsets_[p];
                frame->linesize[p] = self->linesize_[p];
            }
            frame->extended_data = frame->data;
            return 0;
        }
    }
    return avcodec_default_get_buffer2(context, frame, flags);
}

} // namespace korvel
