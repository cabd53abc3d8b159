#include "Core/Picture/Bilinear.hpp"

#include "Core/Picture/Color/ColorMath.hpp"

#include <algorithm>
#include <cmath>

namespace korvel::Bilinear {

void draw(const RGBAImage& src, double s, double tx, double ty, bool clampEdges, RGBAImage& out, int from, int to) {
    if (src.empty() || !(s > 0)) return;
    int y0 = std::max(from, out.y), y1 = std::min(to, out.y + out.height);
    const int w = src.width, h = src.height;
    auto tap = [&](int x, int y) -> const float* {
        static constexpr float none[4] = {0, 0, 0, 0};
        if (clampEdges) {
            x = std::clamp(x, 0, w - 1);
            y = std::clamp(y, 0, h - 1);
        } else if (x < 0 || y < 0 || x >= w || y >= h) {
            return none;
        }
        return src.row(y) + static_cast<size_t>(x) * 4;
    };
    for (int Y = y0; Y < y1; ++Y) {
        double v = (Y + 0.5 - ty) / s - 0.5 - src.y;
        double fv = std::floor(v);
        float dv = static_cast<float>(v - fv);
        int iv = static_cast<int>(std::clamp(fv, -2.0, static_cast<double>(h) + 1));
        float* d = out.row(Y - out.y);
        for (int X = out.x; X < out.x + out.width; ++X, d += 4) {
            double u = (X + 0.5 - tx) / s - 0.5 - src.x;
            double fu = std::floor(u);
            float du = static_cast<float>(u - fu);
            int iu = static_cast<int>(std::clamp(fu, -2.0, static_cast<double>(w) + 1));
            const float* a = tap(iu, iv);
            const float* b = tap(iu + 1, iv);
            const float* c = tap(iu, iv + 1);
            const float* e = tap(iu + 1, iv + 1);
            for (int k = 0; k < 4; ++k) {
                float top = a[k] + (b[k] - a[k]) * du;
                float bottom = c[k] + (e[k] - c[k]) * du;
                d[k] = ColorMath::sane(top + (bottom - top) * dv);
            }
        }
    }
}

} // namespace korvel::Bilinear
