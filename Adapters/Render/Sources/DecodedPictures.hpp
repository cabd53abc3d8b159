#pragma once

#include <array>
#include <cstddef>
#include <mutex>

struct AVBufferPool;
struct AVCodecContext;
struct AVFrame;

namespace korvel {

// Where a decoder's pictures come from. They are frame-sized buffers, so
// they are mapped as the engine's own pictures are (in 2 MiB pages where the
// system allows), not taken from the heap and zeroed 4 KiB at a time: a
// picture first touched is then a handful of faults, not a thousand, and is
// not cleared first. Each picture's planes lie in one block; a pool of them
// is kept as long as the decoder, as the library's own would be.
class DecodedPictures {
public:
    DecodedPictures() = default;
    ~DecodedPictures();
    DecodedPictures(const DecodedPictures&) = delete;
    DecodedPictures& operator=(const DecodedPictures&) = delete;

    // For the decoder's `get_buffer2`, its `opaque` this object: the planes
    // laid out as the library lays them out, or the library's own buffers
    // for pictures too small or formats it lays out otherwise. Called on
    // the decoder's threads.
    static int get(AVCodecContext* context, AVFrame* frame, int flags);

private:
    // Under the lock: the pool for the frame's format and size; false where
    // the library's own buffers serve.
    bool plan(AVCodecContext* context, const AVFrame& frame);
    void release();

    std::mutex lock_;
    int format_ = -1, width_ = 0, height_ = 0;
    std::array<int, 4> linesize_{};
    std::array<size_t, 4> offsets_{};
    AVBufferPool* pool_ = nullptr;
};

} // namespace korvel
