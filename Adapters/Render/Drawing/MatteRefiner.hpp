#pragma once

#include "Adapters/Render/Drawing/RenderCanvas.hpp"
#include "Core/Picture/RGBAImage.hpp"

#include <algorithm>
#include <vector>

namespace korvel {

// Composites a foreground over a new background through a soft mask without
// halos: the mask's interior is hardened, edge colours are rebuilt from the
// interior nearby, green spill is optionally removed, then the two blend.
struct MatteRefiner {
    render::RenderCanvas canvas;
    bool despillGreen = false;

    // All three on the canvas; the mask's red value is the coverage (0
    // where it does not reach). Returns a canvas-sized picture.
    RGBAImage replacingBackground(const RGBAImage& picture, const RGBAImage& mask, const RGBAImage& fill) const;

    double decontaminationSigma() const { return std::max(canvas.width, canvas.height) * 6 / 1920; }
    double erosionRadius() const { return std::max(canvas.width, canvas.height) * 4 / 1920; }

    // The mask's coverage as one canvas-sized plane.
    std::vector<float> plane(const RGBAImage& mask) const;
};

} // namespace korvel
