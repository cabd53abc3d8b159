#pragma once

#include "Core/Picture/RGBAImage.hpp"

namespace korvel {

// Edge-preserving upsampling of a coarse mask against a sharp picture: the
// mask is brought to the picture's size linearly, then a guided filter
// (local linear model of the mask on the picture's luma, box windows) snaps
// its edges to the picture's. Both images cover the same rectangle.
namespace GuidedUpsample {
// `radius` in picture pixels, `epsilon` the regulariser (luma sigma squared).
RGBAImage refined(const RGBAImage& mask, const RGBAImage& picture, int radius, float epsilon);
// The same for the rows [from, to) of `out`, a picture of the picture's
// size: bands refined side by side give what `refined` gives.
void refineRows(const RGBAImage& mask, const RGBAImage& picture, int radius, float epsilon, RGBAImage& out, int from,
                int to);
} // namespace GuidedUpsample

} // namespace korvel
