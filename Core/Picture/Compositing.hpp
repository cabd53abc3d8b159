#pragma once

#include "Core/Picture/RGBAImage.hpp"

namespace korvel {

// Per-row compositing of premultiplied pictures on one canvas. Every
// function works on the rows [from, to) of the canvas so that a caller can
// tile it; pictures are placed by their own x and y. Results are sanitised.
namespace Compositing {

// `src` over `dst`, where `src` covers.
void over(RGBAImage& dst, const RGBAImage& src, int from, int to);
// a x (1 - t) + b x t, both covering `out`.
void dissolve(const RGBAImage& a, const RGBAImage& b, float t, RGBAImage& out, int from, int to);
// fg x m + bg x (1 - m), m the mask's red value clamped to [0, 1]; a mask
// that does not cover a pixel counts as 0 there.
void blendWithMask(const RGBAImage& fg, const RGBAImage& bg, const RGBAImage& mask, RGBAImage& out, int from, int to);
// Colour times mask (red of the mask), alpha too.
void multiply(RGBAImage& picture, const RGBAImage& mask, int from, int to);
// a / b per channel, 0 where the divisor is below 1e-6 (so an empty mask
// never turns into NaN).
void divide(const RGBAImage& a, const RGBAImage& b, RGBAImage& out, int from, int to);

// The value of `image` at canvas pixel (x, y), or transparent outside.
inline const float* at(const RGBAImage& image, int x, int y) {
    if (x < image.x || y < image.y || x >= image.x + image.width || y >= image.y + image.height) return nullptr;
    return image.row(y - image.y) + static_cast<size_t>(x - image.x) * 4;
}

} // namespace Compositing
} // namespace korvel
