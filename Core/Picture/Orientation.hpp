#pragma once

#include "Core/Picture/RGBAImage.hpp"

#include <cstdint>

namespace korvel::Orientation {

// Orientation codes as still pictures carry them: 1 as stored, 2 mirrored
// left to right, 3 upside down, 4 mirrored top to bottom, 5 transposed, 6
// shown turned a quarter clockwise, 7 transversed, 8 a quarter
// counter-clockwise. Other codes are taken as 1.

// Whether the upright picture's sides are the stored picture's swapped.
bool swapsSides(int orientation);

struct Pixel {
    int64_t x = 0, y = 0;
    bool operator==(const Pixel&) const = default;
};
// The stored pixel that the upright pixel (x, y) shows, for a picture
// stored `width` × `height`.
Pixel storedPixel(int orientation, int64_t width, int64_t height, int64_t x, int64_t y);

// The picture turned upright, its extent at (0, 0).
RGBAImage upright(const RGBAImage& picture, int orientation);

} // namespace korvel::Orientation
