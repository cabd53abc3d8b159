#include "Core/Render/GuidedUpsample.hpp"

#include "Core/Render/ColorMath.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace korvel::GuidedUpsample {

namespace {
// Output is worked out in tiles of this many pixels a side; a tile whose
// neighbourhood sees one mask value only keeps that value.
constexpr int tileSide = 64;

struct Span {
    int from, to; // [from, to)
};

// Linear taps of the mask for each picture pixel along one axis.
struct Taps {
    std::vector<int> first, second;
    std::vector<float> weight;

    Taps(int maskSize, int size) : first(static_cast<size_t>(size)), second(first.size()), weight(first.size()) {
        double scale = static_cast<double>(maskSize) / size;
        for (int i = 0; i < size; ++i) {
            double v = (i + 0.5) * scale - 0.5;
            int v0 = std::clamp(static_cast<int>(std::floor(v)), 0, maskSize - 1);
            first[static_cast<size_t>(i)] = v0;
            second[static_cast<size_t>(i)] = std::min(v0 + 1, maskSize - 1);
            weight[static_cast<size_t>(i)] = static_cast<float>(std::clamp(v - v0, 0.0, 1.0));
        }
    }
};

// Means over (2r + 1)^2 windows clipped to the picture, from summed areas of
// `v` over `area` (the values are stored row by row over `area`), for the
// pixels of `target` (inside `area`).
void boxMean(const std::vector<float>& v, Span ax, Span ay, Span tx, Span ty, int r, int w, int h,
             std::vector<double>& sum, std::vector<float>& out) {
    const int aw = ax.to - ax.from, ah = ay.to - ay.from;
    sum.assign(static_cast<size_t>(aw + 1) * (ah + 1), 0.0);
    for (int y = 0; y < ah; ++y) {
        double row = 0;
        for (int x = 0; x < aw; ++x) {
            row += v[static_cast<size_t>(y) * aw + x];
            sum[static_cast<size_t>(y + 1) * (aw + 1) + x + 1] = sum[static_cast<size_t>(y) * (aw + 1) + x + 1] + row;
        }
    }
    out.assign(v.size(), 0.0f);
    for (int y = ty.from; y < ty.to; ++y) {
        int ya = std::max(0, y - r), yb = std::min(h, y + r + 1);
        for (int x = tx.from; x < tx.to; ++x) {
            int xa = std::max(0, x - r), xb = std::min(w, x + r + 1);
            auto s = [&](int sx, int sy) {
                return sum[static_cast<size_t>(sy - ay.from) * (aw + 1) + (sx - ax.from)];
            };
            double total = s(xb, yb) - s(xb, ya) - s(xa, yb) + s(xa, ya);
            out[static_cast<size_t>(y - ay.from) * aw + (x - ax.from)] =
                static_cast<float>(total / ((yb - ya) * (xb - xa)));
        }
    }
}

// Working space for one tile.
struct Scratch {
    std::vector<float> guide, p, ip, ii, meanI, meanP, meanIP, meanII, a, b, meanA, meanB;
    std::vector<double> sum;
};

float maskAt(const RGBAImage& mask, int x, int y) { return ColorMath::sane(mask.row(y)[x * 4]); }

// The one mask value seen by every linear tap of the pixels in the spans,
// or nothing when they see more than one.
bool constantOver(const RGBAImage& mask, const Taps& tx, const Taps& ty, Span sx, Span sy, float& value) {
    int u0 = tx.first[static_cast<size_t>(sx.from)], u1 = tx.second[static_cast<size_t>(sx.to - 1)];
    int v0 = ty.first[static_cast<size_t>(sy.from)], v1 = ty.second[static_cast<size_t>(sy.to - 1)];
    value = maskAt(mask, u0, v0);
    for (int v = v0; v <= v1; ++v)
        for (int u = u0; u <= u1; ++u)
            if (maskAt(mask, u, v) != value) return false;
    return true;
}

void refineTile(const RGBAImage& mask, const RGBAImage& picture, const Taps& tx, const Taps& ty, Span ox, Span oy,
                int radius, float epsilon, Scratch& s, RGBAImage& out) {
    const int w = picture.width, h = picture.height;
    // a and b are needed within the radius of the tile, their windows
    // within twice the radius.
    Span ax{std::max(0, ox.from - 2 * radius), std::min(w, ox.to + 2 * radius)};
    Span ay{std::max(0, oy.from - 2 * radius), std::min(h, oy.to + 2 * radius)};
    Span bx{std::max(0, ox.from - radius), std::min(w, ox.to + radius)};
    Span by{std::max(0, oy.from - radius), std::min(h, oy.to + radius)};
    const int aw = ax.to - ax.from, ah = ay.to - ay.from;
    const size_t n = static_cast<size_t>(aw) * ah;
    s.guide.resize(n);
    s.p.resize(n);
    s.ip.resize(n);
    s.ii.resize(n);
    for (int y = ay.from; y < ay.to; ++y) {
        const float* g = picture.row(y);
        const size_t yi = static_cast<size_t>(y);
        int v0 = ty.first[yi], v1 = ty.second[yi];
        float dv = ty.weight[yi];
        for (int x = ax.from; x < ax.to; ++x) {
            const size_t xi = static_cast<size_t>(x);
            size_t i = static_cast<size_t>(y - ay.from) * aw + (x - ax.from);
            float guide = ColorMath::sane(ColorMath::luma(g[x * 4], g[x * 4 + 1], g[x * 4 + 2]));
            int u0 = tx.first[xi], u1 = tx.second[xi];
            float du = tx.weight[xi];
            float top = maskAt(mask, u0, v0) + (maskAt(mask, u1, v0) - maskAt(mask, u0, v0)) * du;
            float bottom = maskAt(mask, u0, v1) + (maskAt(mask, u1, v1) - maskAt(mask, u0, v1)) * du;
            float p = top + (bottom - top) * dv;
            s.guide[i] = guide;
            s.p[i] = p;
            s.ip[i] = guide * p;
            s.ii[i] = guide * guide;
        }
    }
    boxMean(s.guide, ax, ay, bx, by, radius, w, h, s.sum, s.meanI);
    boxMean(s.p, ax, ay, bx, by, radius, w, h, s.sum, s.meanP);
    boxMean(s.ip, ax, ay, bx, by, radius, w, h, s.sum, s.meanIP);
    boxMean(s.ii, ax, ay, bx, by, radius, w, h, s.sum, s.meanII);
    s.a.assign(n, 0.0f);
    s.b.assign(n, 0.0f);
    for (int y = by.from; y < by.to; ++y)
        for (int x = bx.from; x < bx.to; ++x) {
            size_t i = static_cast<size_t>(y - ay.from) * aw + (x - ax.from);
            float cov = s.meanIP[i] - s.meanI[i] * s.meanP[i];
            float var = s.meanII[i] - s.meanI[i] * s.meanI[i];
            s.a[i] = cov / (var + epsilon);
            s.b[i] = s.meanP[i] - s.a[i] * s.meanI[i];
        }
    // The windows of the tile's pixels stay within `bx` x `by`.
    boxMean(s.a, ax, ay, ox, oy, radius, w, h, s.sum, s.meanA);
    boxMean(s.b, ax, ay, ox, oy, radius, w, h, s.sum, s.meanB);
    for (int y = oy.from; y < oy.to; ++y) {
        float* o = out.row(y);
        for (int x = ox.from; x < ox.to; ++x) {
            size_t i = static_cast<size_t>(y - ay.from) * aw + (x - ax.from);
            float v = std::clamp(ColorMath::sane(s.meanA[i] * s.guide[i] + s.meanB[i]), 0.0f, 1.0f);
            o[x * 4] = o[x * 4 + 1] = o[x * 4 + 2] = v;
            o[x * 4 + 3] = 1;
        }
    }
}
} // namespace

RGBAImage refined(const RGBAImage& mask, const RGBAImage& picture, int radius, float epsilon) {
    const int w = picture.width, h = picture.height;
    if (w <= 0 || h <= 0 || mask.empty()) return RGBAImage::transparent(picture.x, picture.y, w, h);
    RGBAImage out = RGBAImage::blank(picture.x, picture.y, w, h);
    radius = std::max(radius, 0);
    const Taps tx(mask.width, w), ty(mask.height, h);
    Scratch scratch;
    for (int y0 = 0; y0 < h; y0 += tileSide) {
        Span oy{y0, std::min(h, y0 + tileSide)};
        Span near_y{std::max(0, oy.from - 2 * radius), std::min(h, oy.to + 2 * radius)};
        for (int x0 = 0; x0 < w; x0 += tileSide) {
            Span ox{x0, std::min(w, x0 + tileSide)};
            Span near_x{std::max(0, ox.from - 2 * radius), std::min(w, ox.to + 2 * radius)};
            float value = 0;
            if (!constantOver(mask, tx, ty, near_x, near_y, value)) {
                refineTile(mask, picture, tx, ty, ox, oy, radius, epsilon, scratch, out);
                continue;
            }
            // One mask value in every window: the local model is flat.
            float v = std::clamp(value, 0.0f, 1.0f);
            for (int y = oy.from; y < oy.to; ++y) {
                float* o = out.row(y) + static_cast<size_t>(ox.from) * 4;
                for (int x = ox.from; x < ox.to; ++x, o += 4) {
                    o[0] = o[1] = o[2] = v;
                    o[3] = 1;
                }
            }
        }
    }
    return out;
}

} // namespace korvel::GuidedUpsample
