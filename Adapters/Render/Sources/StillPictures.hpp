#pragma once

#include "Core/Picture/RGBAImage.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>

namespace korvel {

// Still pictures of a render in the working space.
namespace StillPictures {

// Picture 0 of the file, upright, premultiplied linear light, shrunk while
// it decodes so that its long edge is at most twice the canvas's: a
// picture that unpacks to gigapixels never sits whole in memory. Nothing
// when the file is not a picture an allowed loader reads.
std::optional<RGBAImage> decoded(const std::filesystem::path& file, int64_t canvasLongEdge);

inline int64_t bound(int64_t canvasLongEdge) { return std::max<int64_t>(1, canvasLongEdge) * 2; }

} // namespace StillPictures
} // namespace korvel
