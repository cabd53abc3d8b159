#pragma once

#include <cstdint>
#include <memory>
#include <vector>

struct AVFrame;

namespace korvel {

// Turns decoded frames into small 8-bit BGRA pictures. Shrinking averages
// areas (each output pixel is the mean of the source pixels it covers), done
// on the planes before the colour matrix, which is linear.
class FrameConverter {
public:
    enum class Transfer { sRGB, bt709 };

    FrameConverter(int64_t width, int64_t height, Transfer transfer);
    FrameConverter(const FrameConverter&) = delete;
    FrameConverter& operator=(const FrameConverter&) = delete;
    ~FrameConverter();

    // Rows of width × 4 bytes; valid until the next call.
    const std::vector<uint8_t>& convert(const AVFrame& frame);
    // The same picture from the block sums `finer` kept when it converted
    // this frame last, without reading the planes again: where both sizes
    // cut the planes into whole blocks, and ours are whole numbers of its.
    // Nothing otherwise.
    const std::vector<uint8_t>* convertFrom(const FrameConverter& finer, const AVFrame& frame);

    int64_t width() const { return width_; }
    int64_t height() const { return height_; }

private:
    struct Axis {
        std::vector<int32_t> first;  // per output index: first source index
        std::vector<int32_t> count;  // how many source indexes it covers
        std::vector<float> weights;  // their weights, flat, in order
        std::vector<int32_t> offset; // where the output's weights start
        int source = -1;
    };
    // The byte sums of a plane's whole blocks, as the last frame gave them.
    struct BlockSums {
        std::vector<uint32_t> sums;
        size_t width = 0, height = 0; // blocks
        size_t blockWidth = 0, blockHeight = 0;
        const uint8_t* plane = nullptr; // whose sums they are
    };
    static void plan(Axis& axis, int source, int64_t target);
    void resample(const uint8_t* plane, int64_t stride, const Axis& ax, const Axis& ay, float* out, BlockSums& kept);
    void colour(const AVFrame& frame);
    void convertOther(const AVFrame& frame);

    int64_t width_, height_;
    Transfer transfer_;
    uint8_t lut_[256];
    bool lutIsIdentity_ = true;
    Axis lumaX_, lumaY_, chromaX_, chromaY_;
    std::vector<float> y_, u_, v_;
    std::vector<uint16_t> blockSums_;
    BlockSums planeSums_[3];
    std::vector<uint8_t> out_;
    struct OtherFormats; // libswscale, for layouts the plane path does not read
    std::unique_ptr<OtherFormats> other_;
};

} // namespace korvel
