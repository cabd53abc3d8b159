#include "Adapters/Render/Drawing/Picture.hpp"

#include "Core/Picture/Orientation.hpp"

#include <cstring>

namespace korvel {

Picture Picture::oriented(int orientation) const {
    if (orientation < 2 || orientation > 8) return *this;
    Picture out;
    out.bands = bands;
    bool swapped = Orientation::swapsSides(orientation);
    out.width = swapped ? height : width;
    out.height = swapped ? width : height;
    out.pixels.resize(pixels.size());
    const size_t px = static_cast<size_t>(bands);
    for (int64_t y = 0; y < out.height; ++y) {
        for (int64_t x = 0; x < out.width; ++x) {
            Orientation::Pixel s = Orientation::storedPixel(orientation, width, height, x, y);
            std::memcpy(&out.pixels[(static_cast<size_t>(y * out.width + x)) * px],
                        &pixels[(static_cast<size_t>(s.y * width + s.x)) * px], px);
        }
    }
    return out;
}

} // namespace korvel
