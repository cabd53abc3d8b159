#pragma once

#include "Core/Render/AssetMethodTypes.hpp"
#include "Core/Render/MovieBox.hpp"

#include <optional>

namespace korvel {

// The colour description of a video track, from the "colr" box of its
// first sample description.
namespace ColorTags {
// Nothing without a description or without colour tags.
std::optional<AssetColor> read(const MovieSampleEntry* description);
// The transfer functions of high dynamic range pictures.
bool isHDRTransfer(std::string_view transfer);
} // namespace ColorTags

} // namespace korvel
