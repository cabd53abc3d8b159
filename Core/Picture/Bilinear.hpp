#pragma once

#include "Core/Picture/RGBAImage.hpp"

namespace korvel {

// Linear sampling of a picture drawn at scale s and moved by (tx, ty)
// (canvas = s x source + t, y down). With `clampEdges` the edge pixels
// repeat outward; without, the picture is transparent beyond its extent.
namespace Bilinear {
void draw(const RGBAImage& source, double scale, double tx, double ty, bool clampEdges, RGBAImage& out, int from,
          int to);
} // namespace Bilinear

} // namespace korvel
