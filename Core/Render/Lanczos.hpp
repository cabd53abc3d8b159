#pragma once

#include "Core/Render/RGBAImage.hpp"

namespace korvel {

// Lanczos-3 resampling for shrinking: the kernel's support is widened by
// 1 / scale so that a smaller picture does not alias. The picture is drawn
// at scale s and moved by (tx, ty) (canvas = s x source + t, y down) into
// the rows [from, to) of `out`. With `clampEdges` edge pixels repeat
// outward; without, the picture is transparent beyond its extent.
namespace Lanczos {
void draw(const RGBAImage& source, double scale, double tx, double ty, bool clampEdges, RGBAImage& out, int from,
          int to);
double kernel(double x);
} // namespace Lanczos

} // namespace korvel
