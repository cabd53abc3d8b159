#pragma once

#include <vector>

namespace korvel {

// What a blur reads beyond the picture: transparent black (text, drawn on
// nothing) or the edge pixel repeated outward (pictures, which go on).
enum class BlurEdge { transparent, repeated };

// The engine's one Gaussian blur, of interleaved float channels: each axis
// a sampled kernel with the size and normalisation of OpenCV's float
// Gaussian (round(8 sigma + 1) | 1 taps), rows then columns.
namespace GaussianBlur {

// Half of one axis's kernel, summing to one over the whole: the centre tap,
// then the taps one, two, ... pixels out. One tap (the picture unchanged) for
// a sigma that is not positive.
std::vector<float> taps(double sigma);

// The kernels of one blur, worked out once and shared by all of its bands.
struct Plan {
    int width = 0, height = 0, channels = 0;
    std::vector<float> across, down;
    BlurEdge edge = BlurEdge::repeated;
};
Plan plan(int width, int height, int channels, double sigmaX, double sigmaY, BlurEdge edge);

// The rows [from, to) of `in` blurred along themselves into the same rows of
// `out`.
void alongRows(const Plan& plan, const float* in, float* out, int from, int to);
// The rows [from, to) of `out`: the whole of `in` blurred down its columns.
// `out` must not be `in`.
void downColumns(const Plan& plan, const float* in, float* out, int from, int to);

// The whole blur on this thread; `out` may be `in`.
void blur(const Plan& plan, const float* in, float* out);
// The same in place, one sigma for both axes. Above a sigma of 8 it runs on
// a copy shrunk by ceil(sigma / 8) a side and is read back linearly: within
// half a code value of the full blur, at a cost that stays flat as sigma grows.
void blur(float* pixels, int width, int height, int channels, double sigma, BlurEdge edge);

} // namespace GaussianBlur
} // namespace korvel
