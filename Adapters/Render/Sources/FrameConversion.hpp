#pragma once

#include "Adapters/Render/Drawing/Picture.hpp"
#include "Core/Wire/AssetMethodTypes.hpp"
#include "Core/Wire/ExportMethodTypes.hpp"
#include "Core/Picture/RGBAImage.hpp"
#include "Core/Picture/RenderSize.hpp"

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

} // namespace FrameConversion
} // namespace korvel
