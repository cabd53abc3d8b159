#pragma once

#include "Core/Plan/NormalizedRect.hpp"

namespace korvel {

// The part of an upright source picture that fills the canvas, in source
// pixels from its top-left corner. It always has the canvas's aspect ratio;
// x or y is negative when the window is wider or taller than the source.
struct SourceWindow {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    bool operator==(const SourceWindow&) const = default;

    // Whether the window reaches beyond the picture it frames (0.001 px slack).
    bool showsPastTheSource(double sourceWidth, double sourceHeight) const;
};

struct FramingInput {
    double sourceWidth = 0;
    double sourceHeight = 0;
    double canvasWidth = 0;
    double canvasHeight = 0;

    bool operator==(const FramingInput&) const = default;

    // Scale 1 just covers the canvas; above 1 zooms in; below 1 zooms out at
    // most until the whole source shows.
    SourceWindow window(NormalizedPoint center, double scale) const;
};

} // namespace korvel
