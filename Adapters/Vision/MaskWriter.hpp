#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>

struct AVFrame;

namespace korvel {

// A mask frame: one byte a pixel, the subject bright.
struct MaskFrame {
    int64_t width = 0;
    int64_t height = 0;
    std::span<const uint8_t> bytes;
};

// The mask movie: QuickTime, one HEVC track tagged "hvc1", 8-bit 4:2:0 full
// range BT.709, the mask in the luma plane and neutral chroma, times in
// microseconds from the first frame's.
class MaskWriter {
public:
    // Throws EngineFailure: the writing failures for "the mask", and -32602
    // for a size the encoder cannot carry.
    MaskWriter(const std::filesystem::path& url, int64_t width, int64_t height, double framesPerSecond);

    // The sides the HEVC encoder takes: even, 16 to 16384 pixels, and at
    // most 4096 long when the other side is below 32 (its smallest blocks
    // can't carry a level past that).
    static constexpr int64_t minSide = 16, maxSide = 16384, narrowSide = 32, maxNarrowLength = 4096;
    static bool canWrite(int64_t width, int64_t height);
    // Throws -32602 "A mask of WxH can't be written." for a size canWrite refuses.
    static void requireWritable(int64_t width, int64_t height);
    ~MaskWriter();
    MaskWriter(const MaskWriter&) = delete;
    MaskWriter& operator=(const MaskWriter&) = delete;

    int64_t width() const { return width_; }
    int64_t height() const { return height_; }

    // Times strictly increase. Throws -32603 "A mask frame came at WxH for a
    // mask file at WxH." for a frame of another size, and the writing failures.
    void append(const MaskFrame& mask, int64_t atUs);
    void finish();
    // Stops writing; the file is left to its temporary output.
    void cancel() noexcept;

private:
    // x265 stamps no valid decode times on a movie shorter than its B-frame
    // delay, so the encoder opens once this many frames are known, or at the
    // end without B-frames.
    static constexpr size_t reorderDepth = 3;

    [[noreturn]] void failed(int status, const char* doing);
    void open(bool reordering);
    // A blank picture, held until the encoder opens or reused for every frame.
    AVFrame* newFrame(bool held);
    void send(AVFrame* frame);
    void drain(bool flushing);

    std::filesystem::path url_;
    int64_t width_, height_;
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace korvel
