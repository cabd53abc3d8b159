#pragma once

#include "Core/Render/RGBAImage.hpp"

#include <vector>

namespace korvel {

// Gaussian blurs and erosion over OpenCV, edge pixels repeated outward.
namespace Blur {

// Sigma is clamped to [0, limit] (a client radius may be anything); above 4
// the blur runs on a smaller copy, which changes the result by far less
// than a code value.
RGBAImage gaussian(const RGBAImage& image, double sigma, double limit);
// The same on one plane of floats (width x height).
std::vector<float> gaussian(const std::vector<float>& plane, int width, int height, double sigma, double limit);
// The minimum over a disc of the radius (pixels), per channel.
RGBAImage eroded(const RGBAImage& image, double radius);

} // namespace Blur
} // namespace korvel
