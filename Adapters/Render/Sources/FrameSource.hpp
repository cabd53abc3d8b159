#pragma once

#include "Adapters/Render/Sources/FrameConversion.hpp"
#include "Core/Picture/RGBAImage.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace korvel {

// The decoded frame of a composition track for the frame being drawn, or
// nothing. Picture tracks arrive in the working space at the track's natural
// size (before its orientation); mask tracks carry their coded values.
using FrameSource = std::function<std::shared_ptr<const RGBAImage>(int32_t trackID)>;

// The same frame's R'G'B' as `curve` codes it, where its picture reads
// straight into that coding (FrameConversion::signal), or nothing: a
// picture taken this way need not be brought into the working space.
using SignalSource = std::function<std::optional<FrameConversion::SignalRows>(int32_t trackID, PlaneKernels::TargetCurve curve)>;

// The same frame's picture row by row, where its planes read straight into
// the working space (FrameConversion::pictureRows), or nothing: a picture
// only resampled need not be converted whole first.
using PictureRowSource = std::function<std::optional<FrameConversion::PictureRows>(int32_t trackID)>;

} // namespace korvel
