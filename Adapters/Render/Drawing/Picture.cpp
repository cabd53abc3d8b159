#include "Adapters/Render/Drawing/Picture.hpp"

#include <cstring>

namespace korvel {

Picture Picture::oriented(int orientation) const {
    if (orientation != 3 && orientation != 6 && orientation != 8) return *this;
    Picture out;
    out.bands = bands;
    bool quarter = orientation != 3;
    out.width = quarter ? height : width;
    out.height = quarter ? width : height;
    out.pixels.resize(pixels.size());
    const size_t px = static_cast<size_t>(bands);
    for (int64_t y = 0; y < height; ++y) {
        for (int64_t x = 0; x < width; ++x) {
            int64_t dx, dy;
            if (orientation == 6) { // a quarter turn clockwise
                dx = height - 1 - y;
                dy = x;
            } else if (orientation == 8) { // a quarter turn counter-clockwise
                dx = y;
                dy = width - 1 - x;
            } else {
                dx = width - 1 - x;
                dy = height - 1 - y;
            }
            std::memcpy(&out.pixels[(static_cast<size_t>(dy * out.width + dx)) * px],
                        &pixels[(static_cast<size_t>(y * width + x)) * px], px);
        }
    }
    return out;
}

} // namespace korvel
