#pragma once

#include "Core/Picture/FrameBuffers.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvel {

// A picture in the compositor's working space: float32 premultiplied RGBA,
// linear light, BT.709 primaries, extended range. It covers the canvas
// rectangle [x, x + width) x [y, y + height) in canvas pixels with y down
// (row 0 is the top row); the rest of the canvas is transparent. Text tiles,
// overlays and decoded frames all travel as this one type.
struct RGBAImage {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    FrameFloats pixels; // width * height * 4, row-major from the top

    bool empty() const { return width <= 0 || height <= 0; }
    float* row(int r) { return pixels.data() + static_cast<size_t>(r) * static_cast<size_t>(width) * 4; }
    const float* row(int r) const { return pixels.data() + static_cast<size_t>(r) * static_cast<size_t>(width) * 4; }

    static RGBAImage transparent(int x, int y, int width, int height) {
        RGBAImage image = blank(x, y, width, height);
        std::fill(image.pixels.begin(), image.pixels.end(), 0.0f);
        return image;
    }
    // Values left as they come: for pictures whose every pixel is written.
    static RGBAImage blank(int x, int y, int width, int height) {
        size_t floats = width > 0 && height > 0 ? static_cast<size_t>(width) * static_cast<size_t>(height) * 4 : 0;
        return RGBAImage{x, y, width, height, FrameBuffers::take(floats)};
    }

    bool operator==(const RGBAImage&) const = default;
};

} // namespace korvel
