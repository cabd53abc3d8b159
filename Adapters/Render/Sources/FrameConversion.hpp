#pragma once

#include "Adapters/Render/Drawing/Picture.hpp"
#include "Core/Wire/AssetMethodTypes.hpp"
#include "Core/Wire/ExportMethodTypes.hpp"
#include "Core/Picture/Kernels/PlaneKernels.hpp"
#include "Core/Picture/RGBAImage.hpp"
#include "Core/Picture/RenderSize.hpp"

#include <memory>
#include <optional>

struct AVFrame;

namespace korvel {

// Decoded frames brought to the engine's pictures: everyday 4:2:0 frames row
// by row in vector code, others through zimg (libswscale for layouts zimg
// does not read).
namespace FrameConversion {

// What a frame is read as: a picture in the working space (linear BT.709,
// 1.0 = 203 cd/m2; HLG and PQ tone-mapped for an SDR output), or mask
// values as coded (only the YUV to RGB matrix applied).
enum class FrameValues { picture, mask };

// An 8-bit RGB picture of the given size, in the frame's own coding.
// Throws SystemError when its pixel format can't be converted.
Picture picture(const AVFrame& frame, RenderSize size);

// The frame at its own size in the working space (or as mask values),
// read with `color` (the container's tags) before the frame's own, else
// BT.709. Throws SystemError when its pixel format can't be converted.
RGBAImage converted(const AVFrame& frame, const std::optional<AssetColor>& color, DynamicRange output,
                    FrameValues values);
// The same of the frame first resized to `size` in its own coding, as
// `picture` resizes: a small picture without converting every pixel.
RGBAImage converted(const AVFrame& frame, RenderSize size, const std::optional<AssetColor>& color, DynamicRange output,
                    FrameValues values);

// A frame's R'G'B' signal read straight from its planes, a row at a time;
// it holds its own reference to the frame's buffers.
class SignalRows {
public:
    struct State;
    explicit SignalRows(std::shared_ptr<const State> state);
    int width() const;
    int height() const;
    // Row `y`: width() values into each of r, g and b. On any thread.
    void row(int y, float* r, float* g, float* b) const;

private:
    std::shared_ptr<const State> state_;
};

// A frame's pixels in the working space a row at a time, as `converted`
// gives them, for pictures whose planes it reads directly; it holds its own
// reference to the frame's buffers.
class PictureRows {
public:
    struct State;
    explicit PictureRows(std::shared_ptr<const State> state);
    int width() const;
    int height() const;
    // Row `y`: width() RGBA pixels into `rgba`. On any thread.
    void row(int y, float* rgba) const;

private:
    std::shared_ptr<const State> state_;
};

// The frame's picture row by row, where `converted` reads its planes
// directly; nothing for any other layout or reading.
std::optional<PictureRows> pictureRows(const AVFrame& frame, const std::optional<AssetColor>& color, DynamicRange output);

// The frame's signal, when reading it into the working space and coding
// that with `target` would give it back, held to the target's range: the
// everyday layout read directly, HLG on BT.2020 primaries kept as HLG or
// BT.709 coded as BT.709. Nothing for any other reading.
std::optional<SignalRows> signal(const AVFrame& frame, const std::optional<AssetColor>& color, DynamicRange output,
                                 PlaneKernels::TargetCurve target);

} // namespace FrameConversion
} // namespace korvel
