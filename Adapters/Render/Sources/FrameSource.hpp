#pragma once

#include "Core/Picture/RGBAImage.hpp"

#include <cstdint>
#include <functional>
#include <memory>

namespace korvel {

// The decoded frame of a composition track for the frame being drawn, or
// nothing. Picture tracks arrive in the working space at the track's natural
// size (before its orientation); mask tracks carry their coded values.
using FrameSource = std::function<std::shared_ptr<const RGBAImage>(int32_t trackID)>;

} // namespace korvel
