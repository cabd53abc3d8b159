#include "Core/Picture/Orientation.hpp"

#include <algorithm>

namespace korvel::Orientation {

bool swapsSides(int orientation) { return orientation >= 5 && orientation <= 8; }

Pixel storedPixel(int orientation, int64_t w, int64_t h, int64_t x, int64_t y) {
    switch (orientation) {
    case 2: return {w - 1 - x, y};
    case 3: return {w - 1 - x, h - 1 - y};
    case 4: return {x, h - 1 - y};
    case 5: return {y, x};
    case 6: return {y, h - 1 - x};
    case 7: return {w - 1 - y, h - 1 - x};
    case 8: return {w - 1 - y, x};
    default: return {x, y};
    }
}

RGBAImage upright(const RGBAImage& p, int orientation) {
    if (orientation < 2 || orientation > 8) {
        RGBAImage out = p;
        out.x = out.y = 0;
        return out;
    }
    bool swapped = swapsSides(orientation);
    int w = swapped ? p.height : p.width, h = swapped ? p.width : p.height;
    RGBAImage out = RGBAImage::blank(0, 0, w, h);
    for (int y = 0; y < h; ++y) {
        float* d = out.row(y);
        for (int x = 0; x < w; ++x, d += 4) {
            Pixel s = storedPixel(orientation, p.width, p.height, x, y);
            std::copy_n(p.row(static_cast<int>(s.y)) + static_cast<size_t>(s.x) * 4, 4, d);
        }
    }
    return out;
}

} // namespace korvel::Orientation
