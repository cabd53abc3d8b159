#include "Core/Render/GuidedUpsample.hpp"

#include "Core/Render/ColorMath.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace korvel::GuidedUpsample {

namespace {
// Means over (2r + 1)^2 windows clipped to the picture, from summed areas.
std::vector<float> boxMean(const std::vector<float>& v, int w, int h, int r) {
    std::vector<double> sum(static_cast<size_t>(w + 1) * (h + 1), 0.0);
    for (int y = 0; y < h; ++y) {
        double row = 0;
        for (int x = 0; x < w; ++x) {
            row += v[static_cast<size_t>(y) * w + x];
            sum[static_cast<size_t>(y + 1) * (w + 1) + x + 1] = sum[static_cast<size_t>(y) * (w + 1) + x + 1] + row;
        }
    }
    std::vector<float> out(v.size());
    for (int y = 0; y < h; ++y) {
        int ya = std::max(0, y - r), yb = std::min(h, y + r + 1);
        for (int x = 0; x < w; ++x) {
            int xa = std::max(0, x - r), xb = std::min(w, x + r + 1);
            double s = sum[static_cast<size_t>(yb) * (w + 1) + xb] - sum[static_cast<size_t>(ya) * (w + 1) + xb] -
                       sum[static_cast<size_t>(yb) * (w + 1) + xa] + sum[static_cast<size_t>(ya) * (w + 1) + xa];
            out[static_cast<size_t>(y) * w + x] = static_cast<float>(s / ((yb - ya) * (xb - xa)));
        }
    }
    return out;
}
} // namespace

RGBAImage refined(const RGBAImage& mask, const RGBAImage& picture, int radius, float epsilon) {
    const int w = picture.width, h = picture.height;
    RGBAImage out = RGBAImage::transparent(picture.x, picture.y, w, h);
    if (w <= 0 || h <= 0 || mask.empty()) return out;
    const size_t n = static_cast<size_t>(w) * h;
    std::vector<float> guide(n), p(n);
    double sx = static_cast<double>(mask.width) / w, sy = static_cast<double>(mask.height) / h;
    for (int y = 0; y < h; ++y) {
        const float* g = picture.row(y);
        double v = (y + 0.5) * sy - 0.5;
        int v0 = std::clamp(static_cast<int>(std::floor(v)), 0, mask.height - 1);
        int v1 = std::min(v0 + 1, mask.height - 1);
        float dv = static_cast<float>(std::clamp(v - v0, 0.0, 1.0));
        for (int x = 0; x < w; ++x) {
            guide[static_cast<size_t>(y) * w + x] = ColorMath::sane(ColorMath::luma(g[x * 4], g[x * 4 + 1], g[x * 4 + 2]));
            double u = (x + 0.5) * sx - 0.5;
            int u0 = std::clamp(static_cast<int>(std::floor(u)), 0, mask.width - 1);
            int u1 = std::min(u0 + 1, mask.width - 1);
            float du = static_cast<float>(std::clamp(u - u0, 0.0, 1.0));
            auto m = [&](int cx, int cy) { return ColorMath::sane(mask.row(cy)[cx * 4]); };
            float top = m(u0, v0) + (m(u1, v0) - m(u0, v0)) * du;
            float bottom = m(u0, v1) + (m(u1, v1) - m(u0, v1)) * du;
            p[static_cast<size_t>(y) * w + x] = top + (bottom - top) * dv;
        }
    }
    std::vector<float> ip(n), ii(n);
    for (size_t i = 0; i < n; ++i) {
        ip[i] = guide[i] * p[i];
        ii[i] = guide[i] * guide[i];
    }
    auto meanI = boxMean(guide, w, h, radius), meanP = boxMean(p, w, h, radius);
    auto meanIP = boxMean(ip, w, h, radius), meanII = boxMean(ii, w, h, radius);
    std::vector<float> a(n), b(n);
    for (size_t i = 0; i < n; ++i) {
        float cov = meanIP[i] - meanI[i] * meanP[i];
        float var = meanII[i] - meanI[i] * meanI[i];
        a[i] = cov / (var + epsilon);
        b[i] = meanP[i] - a[i] * meanI[i];
    }
    auto meanA = boxMean(a, w, h, radius), meanB = boxMean(b, w, h, radius);
    for (int y = 0; y < h; ++y) {
        float* o = out.row(y);
        for (int x = 0; x < w; ++x) {
            size_t i = static_cast<size_t>(y) * w + x;
            float v = std::clamp(ColorMath::sane(meanA[i] * guide[i] + meanB[i]), 0.0f, 1.0f);
            o[x * 4] = o[x * 4 + 1] = o[x * 4 + 2] = v;
            o[x * 4 + 3] = 1;
        }
    }
    return out;
}

} // namespace korvel::GuidedUpsample
