#include "Core/Picture/Compositing.hpp"

#include "Core/Picture/Color/ColorMath.hpp"
#include "Core/Picture/Kernels/Kernels.hpp"

#include <algorithm>

namespace korvel::Compositing {

namespace {
inline float* cell(RGBAImage& image, int x, int y) {
    return image.row(y - image.y) + static_cast<size_t>(x - image.x) * 4;
}
inline float clamp01(float v) { return v > 0 ? (v < 1 ? v : 1.0f) : 0.0f; }
constexpr float none[4] = {0, 0, 0, 0};
} // namespace

void over(RGBAImage& dst, const RGBAImage& src, int from, int to) {
    int y0 = std::max({from, dst.y, src.y}), y1 = std::min({to, dst.y + dst.height, src.y + src.height});
    int x0 = std::max(dst.x, src.x), x1 = std::min(dst.x + dst.width, src.x + src.width);
    if (x0 >= x1) return;
    for (int y = y0; y < y1; ++y) {
        const float* s = at(src, x0, y);
        float* d = cell(dst, x0, y);
        if (!Kernels::references()) {
            Kernels::over(d, s, x1 - x0);
            Kernels::sanitise(d, static_cast<size_t>(x1 - x0) * 4);
            continue;
        }
        for (int x = x0; x < x1; ++x, s += 4, d += 4) {
            float keep = 1 - s[3];
            for (int c = 0; c < 4; ++c) d[c] = ColorMath::sane(s[c] + d[c] * keep);
        }
    }
}

void dissolve(const RGBAImage& a, const RGBAImage& b, float t, RGBAImage& out, int from, int to) {
    int y0 = std::max(from, out.y), y1 = std::min(to, out.y + out.height);
    for (int y = y0; y < y1; ++y) {
        for (int x = out.x; x < out.x + out.width; ++x) {
            const float* pa = at(a, x, y);
            const float* pb = at(b, x, y);
            if (!pa) pa = none;
            if (!pb) pb = none;
            float* d = cell(out, x, y);
            for (int c = 0; c < 4; ++c) d[c] = ColorMath::sane(pa[c] * (1 - t) + pb[c] * t);
        }
    }
}

void blendWithMask(const RGBAImage& fg, const RGBAImage& bg, const RGBAImage& mask, RGBAImage& out, int from, int to) {
    int y0 = std::max(from, out.y), y1 = std::min(to, out.y + out.height);
    for (int y = y0; y < y1; ++y) {
        for (int x = out.x; x < out.x + out.width; ++x) {
            const float* pf = at(fg, x, y);
            const float* pb = at(bg, x, y);
            const float* pm = at(mask, x, y);
            if (!pf) pf = none;
            if (!pb) pb = none;
            float m = pm ? clamp01(ColorMath::sane(pm[0])) : 0.0f;
            float* d = cell(out, x, y);
            for (int c = 0; c < 4; ++c) d[c] = ColorMath::sane(pf[c] * m + pb[c] * (1 - m));
        }
    }
}

void multiply(RGBAImage& picture, const RGBAImage& mask, int from, int to) {
    int y0 = std::max(from, picture.y), y1 = std::min(to, picture.y + picture.height);
    for (int y = y0; y < y1; ++y) {
        float* d = cell(picture, picture.x, y);
        for (int x = picture.x; x < picture.x + picture.width; ++x, d += 4) {
            const float* pm = at(mask, x, y);
            float m = pm ? ColorMath::sane(pm[0]) : 0.0f;
            for (int c = 0; c < 4; ++c) d[c] = ColorMath::sane(d[c] * m);
        }
    }
}

void divide(const RGBAImage& a, const RGBAImage& b, RGBAImage& out, int from, int to) {
    int y0 = std::max(from, out.y), y1 = std::min(to, out.y + out.height);
    for (int y = y0; y < y1; ++y) {
        for (int x = out.x; x < out.x + out.width; ++x) {
            const float* pa = at(a, x, y);
            const float* pb = at(b, x, y);
            float* d = cell(out, x, y);
            for (int c = 0; c < 4; ++c) {
                float divisor = pb ? pb[c] : 0.0f;
                d[c] = pa && divisor >= 1e-6f ? ColorMath::sane(pa[c] / divisor) : 0.0f;
            }
        }
    }
}

} // namespace korvel::Compositing
