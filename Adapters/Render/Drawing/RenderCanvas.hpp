#pragma once

#include "Core/Picture/RenderSize.hpp"
#include "Core/Text/TextWrap.hpp"

namespace korvel::render {

// A rectangle in canvas pixels, y down from the top-left corner.
struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    double maxX() const { return x + width; }
    double maxY() const { return y + height; }
    double midX() const { return x + width * 0.5; }
    double midY() const { return y + height * 0.5; }
    bool operator==(const Rect&) const = default;
};

// The canvas a render draws on (not the plan's canvas, which carries format
// and frame rate): its size, its rectangle, and the unit that canvas-relative
// sizes of the plan are multiples of.
struct RenderCanvas {
    RenderSize size;
    double width = 0;
    double height = 0;
    Rect rect;
    double unit = 0;

    RenderCanvas() = default;
    explicit RenderCanvas(RenderSize size)
        : size(size), width(static_cast<double>(size.width)), height(static_cast<double>(size.height)),
          rect{0, 0, width, height}, unit(TextMetrics::unit(size.width, size.height)) {}

    int pixelWidth() const { return static_cast<int>(size.width); }
    int pixelHeight() const { return static_cast<int>(size.height); }
    bool operator==(const RenderCanvas&) const = default;
};

} // namespace korvel::render
