#pragma once

#include "Core/Wire/AssetMethodTypes.hpp"
#include "Core/Container/MovieBox.hpp"

#include <optional>

namespace korvel {

// The colour description of a video track, from the "colr" box of its
// first sample description.
namespace ColorTags {
// Nothing without a description or without colour tags.
std::optional<AssetColor> read(const MovieSampleEntry* description);
// The description named by ISO/IEC 23091-2 code points, as the wire names
// it: a code outside the tables of primaries, transfers and matrices is
// "unknown", and a code that means the same as a listed one takes its name
// (BT.601's transfer is BT.709's curve; 625-line BT.601 uses the 525-line
// matrix).
AssetColor described(int primaries, int transfer, int matrix, bool fullRange);
// The transfer functions of high dynamic range pictures.
bool isHDRTransfer(std::string_view transfer);
} // namespace ColorTags

} // namespace korvel
