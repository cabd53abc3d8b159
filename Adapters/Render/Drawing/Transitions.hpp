#pragma once

#include "Adapters/Render/Drawing/RenderCanvas.hpp"
#include "Core/Picture/RGBAImage.hpp"

#include <cstdint>

namespace korvel {

// The flash transition: the incoming picture dissolving in from white.
struct Transitions {
    render::RenderCanvas canvas;
    RGBAImage flash(const RGBAImage& picture, int64_t step, int64_t length) const;
};

} // namespace korvel
