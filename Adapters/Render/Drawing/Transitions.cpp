#include "Adapters/Render/Drawing/Transitions.hpp"

#include "Adapters/Render/Drawing/Tiles.hpp"
#include "Core/Picture/Compositing.hpp"

#include <algorithm>

namespace korvel {

RGBAImage Transitions::flash(const RGBAImage& picture, int64_t step, int64_t length) const {
    float t = length < 1 ? 0.0f
                         : static_cast<float>(std::max(0.0, 1.0 - static_cast<double>(step) / static_cast<double>(length)));
    RGBAImage white = RGBAImage::transparent(0, 0, canvas.pixelWidth(), canvas.pixelHeight());
    std::fill(white.pixels.begin(), white.pixels.end(), 1.0f);
    RGBAImage out = RGBAImage::transparent(0, 0, canvas.pixelWidth(), canvas.pixelHeight());
    Tiles::rows(0, out.height, [&](int from, int to) { Compositing::dissolve(picture, white, t, out, from, to); });
    return out;
}

} // namespace korvel
