#include "Core/Picture/GuidedUpsample.hpp"

#include "Core/Picture/Color/ColorMath.hpp"
#include "Core/Picture/Kernels/GuidedKernels.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace korvel::GuidedUpsample {

namespace {
// Output is worked out in blocks of rows and columns; a block whose
// neighbourhood sees one mask value only keeps that value.
constexpr int bandRows = 64;
constexpr int blockColumns = 16;

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

// Means over (2r + 1)^2 windows clipped to the picture of `count` planes
// stored row by row over `area`, for the pixels of `target` (whose windows
// lie inside `area`); written at the same places over `area`. Column sums
// slide down the rows, row sums are differences of running totals.
template <int count>
void boxMeans(const std::vector<float>* const (&in)[count], std::vector<float>* const (&out)[count], Span ax, Span ay,
              Span tx, Span ty, int r, int w, int h, std::vector<double>& columns, std::vector<double>& totals) {
    const int aw = ax.to - ax.from;
    const size_t stride = static_cast<size_t>(aw);
    columns.assign(stride * count, 0.0);
    totals.resize((stride + 1) * count);
    auto plane = [&](int k, int y) { return in[k]->data() + static_cast<size_t>(y - ay.from) * stride; };
    int top = std::max(0, ty.from - r), bottom = std::min(h, ty.from + r + 1);
    for (int y = top; y < bottom; ++y)
        for (int k = 0; k < count; ++k) GuidedKernels::add(columns.data() + stride * k, plane(k, y), aw);
    // Columns whose windows are not cut by the picture's sides.
    const int inner0 = std::clamp(r, tx.from, tx.to), inner1 = std::clamp(w - r, inner0, tx.to);
    for (int y = ty.from; y < ty.to; ++y) {
        int ya = std::max(0, y - r), yb = std::min(h, y + r + 1);
        if (y > ty.from) {
            for (int k = 0; k < count; ++k) {
                double* c = columns.data() + stride * k;
                if (yb > bottom) GuidedKernels::add(c, plane(k, yb - 1), aw);
                if (ya > top) GuidedKernels::subtract(c, plane(k, ya - 1), aw);
            }
            top = ya;
            bottom = yb;
        }
        // The planes' totals side by side, each running in a register: chains
        // that do not wait on each other.
        double run[count] = {};
        for (int k = 0; k < count; ++k) totals[(stride + 1) * k] = 0;
        for (size_t x = 0; x < stride; ++x)
#pragma GCC unroll 4
            for (int k = 0; k < count; ++k) {
                run[k] += columns[stride * k + x];
                totals[(stride + 1) * k + x + 1] = run[k];
            }
        for (int k = 0; k < count; ++k) {
            const double* t = totals.data() + (stride + 1) * k;
            float* o = out[k]->data() + static_cast<size_t>(y - ay.from) * stride;
            auto clipped = [&](int x) {
                int xa = std::max(0, x - r), xb = std::min(w, x + r + 1);
                double sum = t[xb - ax.from] - t[xa - ax.from];
                o[x - ax.from] = static_cast<float>(sum / ((yb - ya) * (xb - xa)));
            };
            for (int x = tx.from; x < inner0; ++x) clipped(x);
            if (inner1 > inner0) {
                GuidedKernels::means(o + (inner0 - ax.from), t + (inner0 + r + 1 - ax.from),
                                     t + (inner0 - r - ax.from), static_cast<double>((yb - ya) * (2 * r + 1)),
                                     inner1 - inner0);
            }
            for (int x = inner1; x < tx.to; ++x) clipped(x);
        }
    }
}

// Working space for one tile.
struct Scratch {
    std::vector<float> across, guide, p, ip, ii, meanI, meanP, meanIP, meanII, a, b, meanA, meanB;
    std::vector<double> columns, totals;
};

float maskAt(const RGBAImage& mask, int x, int y) { return ColorMath::sane(mask.row(y)[x * 4]); }

// Mask values this close count as one: a resampled flat mask wavers by a
// few units in the last place. Over such a mask the model's slope is at
// most spread / (4 sqrt(epsilon)), so the flat value stays within 1e-5 of
// what the filter would give.
float flatSpread(float epsilon) { return 2e-5f * std::sqrt(std::max(epsilon, 0.0f)); }

// The lowest and highest mask values per mask column over the mask rows
// that the picture rows of `sy` tap.
void columnRange(const RGBAImage& mask, const Taps& ty, Span sy, std::vector<float>& low, std::vector<float>& high) {
    int v0 = ty.first[static_cast<size_t>(sy.from)], v1 = ty.second[static_cast<size_t>(sy.to - 1)];
    low.resize(static_cast<size_t>(mask.width));
    high.resize(low.size());
    for (int v = v0; v <= v1; ++v) {
        const float* row = mask.row(v);
        for (size_t u = 0; u < low.size(); ++u) {
            float m = ColorMath::sane(row[u * 4]);
            low[u] = v == v0 ? m : std::min(low[u], m);
            high[u] = v == v0 ? m : std::max(high[u], m);
        }
    }
}

// The mask value seen by every linear tap of the pixels in `sx` (and the
// rows the column ranges were taken over), or nothing when they see values
// further apart than a flat mask's.
bool constantOver(const std::vector<float>& low, const std::vector<float>& high, const Taps& tx, Span sx, float spread,
                  float& value) {
    int u0 = tx.first[static_cast<size_t>(sx.from)], u1 = tx.second[static_cast<size_t>(sx.to - 1)];
    float lo = low[static_cast<size_t>(u0)], hi = high[static_cast<size_t>(u0)];
    for (int u = u0 + 1; u <= u1; ++u) {
        lo = std::min(lo, low[static_cast<size_t>(u)]);
        hi = std::max(hi, high[static_cast<size_t>(u)]);
    }
    if (hi - lo > spread) return false;
    value = lo + (hi - lo) * 0.5f;
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
    // The mask rows the tile taps, each brought to the tile's columns once.
    const int v0 = ty.first[static_cast<size_t>(ay.from)], v1 = ty.second[static_cast<size_t>(ay.to - 1)];
    s.across.resize(static_cast<size_t>(v1 - v0 + 1) * aw);
    for (int v = v0; v <= v1; ++v) {
        float* a = s.across.data() + static_cast<size_t>(v - v0) * aw;
        for (int x = ax.from; x < ax.to; ++x) {
            const size_t xi = static_cast<size_t>(x);
            float m0 = maskAt(mask, tx.first[xi], v), m1 = maskAt(mask, tx.second[xi], v);
            a[x - ax.from] = m0 + (m1 - m0) * tx.weight[xi];
        }
    }
    for (int y = ay.from; y < ay.to; ++y) {
        const size_t yi = static_cast<size_t>(y), i = static_cast<size_t>(y - ay.from) * aw;
        const float* top = s.across.data() + static_cast<size_t>(ty.first[yi] - v0) * aw;
        const float* bottom = s.across.data() + static_cast<size_t>(ty.second[yi] - v0) * aw;
        GuidedKernels::inputs(s.guide.data() + i, s.p.data() + i, s.ip.data() + i, s.ii.data() + i,
                              picture.row(y) + static_cast<size_t>(ax.from) * 4, top, bottom, ty.weight[yi], aw);
    }
    for (auto* plane : {&s.meanI, &s.meanP, &s.meanIP, &s.meanII}) plane->resize(n);
    boxMeans<4>({&s.guide, &s.p, &s.ip, &s.ii}, {&s.meanI, &s.meanP, &s.meanIP, &s.meanII}, ax, ay, bx, by, radius, w, h,
                s.columns, s.totals);
    s.a.assign(n, 0.0f);
    s.b.assign(n, 0.0f);
    for (int y = by.from; y < by.to; ++y) {
        size_t i = static_cast<size_t>(y - ay.from) * aw + (bx.from - ax.from);
        GuidedKernels::model(s.a.data() + i, s.b.data() + i, s.meanI.data() + i, s.meanP.data() + i,
                             s.meanIP.data() + i, s.meanII.data() + i, epsilon, bx.to - bx.from);
    }
    // The windows of the tile's pixels stay within `bx` x `by`.
    s.meanA.resize(n);
    s.meanB.resize(n);
    boxMeans<2>({&s.a, &s.b}, {&s.meanA, &s.meanB}, ax, ay, ox, oy, radius, w, h, s.columns, s.totals);
    for (int y = oy.from; y < oy.to; ++y) {
        size_t i = static_cast<size_t>(y - ay.from) * aw + (ox.from - ax.from);
        GuidedKernels::refined(out.row(y) + static_cast<size_t>(ox.from) * 4, s.meanA.data() + i, s.meanB.data() + i,
                               s.guide.data() + i, ox.to - ox.from);
    }
}
} // namespace

void refineRows(const RGBAImage& mask, const RGBAImage& picture, int radius, float epsilon, RGBAImage& out, int from,
                int to) {
    const int w = picture.width, h = picture.height;
    from = std::max(from, 0);
    to = std::min(to, h);
    if (w <= 0 || from >= to || mask.empty()) return;
    radius = std::max(radius, 0);
    const Taps tx(mask.width, w), ty(mask.height, h);
    Scratch scratch;
    const float spread = flatSpread(epsilon);
    const int blocks = (w + blockColumns - 1) / blockColumns;
    std::vector<char> edged(static_cast<size_t>(blocks));
    std::vector<float> flat(static_cast<size_t>(blocks)), low, high, run;
    for (int y0 = from; y0 < to; y0 += bandRows) {
        Span oy{y0, std::min(to, y0 + bandRows)};
        Span nearY{std::max(0, oy.from - 2 * radius), std::min(h, oy.to + 2 * radius)};
        columnRange(mask, ty, nearY, low, high);
        for (int b = 0; b < blocks; ++b) {
            Span ox{b * blockColumns, std::min(w, (b + 1) * blockColumns)};
            Span nearX{std::max(0, ox.from - 2 * radius), std::min(w, ox.to + 2 * radius)};
            float value = 0;
            edged[static_cast<size_t>(b)] = !constantOver(low, high, tx, nearX, spread, value);
            flat[static_cast<size_t>(b)] = std::clamp(value, 0.0f, 1.0f);
        }
        for (int b = 0; b < blocks;) {
            int e = b + 1;
            while (e < blocks && edged[static_cast<size_t>(e)] == edged[static_cast<size_t>(b)]) ++e;
            Span ox{b * blockColumns, std::min(w, e * blockColumns)};
            if (edged[static_cast<size_t>(b)]) {
                // Neighbouring blocks with an edge are refined as one run,
                // so that they share their margins.
                refineTile(mask, picture, tx, ty, ox, oy, radius, epsilon, scratch, out);
            } else {
                // One mask value in every window: the local model is flat.
                // The run's pixels are made once and copied down its rows.
                const size_t floats = static_cast<size_t>(ox.to - ox.from) * 4;
                run.resize(floats);
                for (int x = ox.from; x < ox.to; ++x) {
                    float* o = run.data() + static_cast<size_t>(x - ox.from) * 4;
                    o[0] = o[1] = o[2] = flat[static_cast<size_t>(x / blockColumns)];
                    o[3] = 1;
                }
                for (int y = oy.from; y < oy.to; ++y)
                    std::copy_n(run.data(), floats, out.row(y) + static_cast<size_t>(ox.from) * 4);
            }
            b = e;
        }
    }
}

RGBAImage refined(const RGBAImage& mask, const RGBAImage& picture, int radius, float epsilon) {
    const int w = picture.width, h = picture.height;
    if (w <= 0 || h <= 0 || mask.empty()) return RGBAImage::transparent(picture.x, picture.y, w, h);
    RGBAImage out = RGBAImage::blank(picture.x, picture.y, w, h);
    refineRows(mask, picture, radius, epsilon, out, 0, h);
    return out;
}

} // namespace korvel::GuidedUpsample
