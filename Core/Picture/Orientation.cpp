#include "Core/Picture/Orientation.hpp"

#include <algorithm>

namespace korvel::Orientation {

RGBAImage upright(const RGBAImage& p, int orientation) {
    if (orientation != 3 && orientation != 6 && orientation != 8) {
        RGBAImage out = p;
        out.x = out.y = 0;
        return out;
    }
    bool quarter = orientation != 3;
    int w = quarter ? p.height : p.width, h = quarter ? p.width : p.height;
    RGBAImage out = RGBAImage::blank(0, 0, w, h);
    for (int y = 0; y < h; ++y) {
        float* d = out.row(y);
        for (int x = 0; x < w; ++x, d += 4) {
            int sx = 0, sy = 0;
            if (orientation == 3) sx = p.width - 1 - x, sy = p.height - 1 - y;
            else if (orientation == 6) sx = y, sy = p.height - 1 - x;
            else sx = p.width - 1 - y, sy = x;
            std::copy_n(p.row(sy) + static_cast<size_t>(sx) * 4, 4, d);
        }
    }
    return out;
}

} // namespace korvel::Orientation
