#pragma once

#include "Core/Picture/FrameBuffers.hpp"

#include <vector>

namespace korvel {

// A Gaussian blur of interleaved float channels, transparent (0) outside
// the picture: three box passes for larger sigmas, a sampled kernel below.
void gaussianBlur(std::vector<float>& pixels, int width, int height, int channels, double sigma);
void gaussianBlur(FrameBuffers::Floats& pixels, int width, int height, int channels, double sigma);

} // namespace korvel
