// The guided upsample works only where the mask has an edge; everywhere it
// must give what the filter gives over the whole picture, on each
// instruction set compiled in that this processor runs.
#include "Core/Picture/GuidedUpsample.hpp"

#include "Core/Picture/Color/ColorMath.hpp"

#include <gtest/gtest.h>
#include <hwy/tests/hwy_gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

using namespace korvel;

namespace {
// The filter over the whole picture, as a plain reference.
std::vector<float> wholeBoxMean(const std::vector<float>& v, int w, int h, int r) {
    std::vector<float> out(v.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            double s = 0;
            int n = 0;
            for (int j = std::max(0, y - r); j < std::min(h, y + r + 1); ++j)
                for (int i = std::max(0, x - r); i < std::min(w, x + r + 1); ++i, ++n) s += v[static_cast<size_t>(j) * w + i];
            out[static_cast<size_t>(y) * w + x] = static_cast<float>(s / n);
        }
    return out;
}

std::vector<float> wholeRefined(const RGBAImage& mask, const RGBAImage& picture, int r, float epsilon) {
    const int w = picture.width, h = picture.height;
    const size_t n = static_cast<size_t>(w) * h;
    std::vector<float> guide(n), p(n), ip(n), ii(n);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const float* g = picture.row(y) + x * 4;
            size_t i = static_cast<size_t>(y) * w + x;
            guide[i] = ColorMath::sane(ColorMath::luma(g[0], g[1], g[2]));
            double u = (x + 0.5) * mask.width / w - 0.5, v = (y + 0.5) * mask.height / h - 0.5;
            int u0 = std::clamp(static_cast<int>(std::floor(u)), 0, mask.width - 1), u1 = std::min(u0 + 1, mask.width - 1);
            int v0 = std::clamp(static_cast<int>(std::floor(v)), 0, mask.height - 1), v1 = std::min(v0 + 1, mask.height - 1);
            auto du = static_cast<float>(std::clamp(u - u0, 0.0, 1.0)), dv = static_cast<float>(std::clamp(v - v0, 0.0, 1.0));
            auto m = [&](int cx, int cy) { return ColorMath::sane(mask.row(cy)[cx * 4]); };
            float top = m(u0, v0) + (m(u1, v0) - m(u0, v0)) * du, bottom = m(u0, v1) + (m(u1, v1) - m(u0, v1)) * du;
            p[i] = top + (bottom - top) * dv;
            ip[i] = guide[i] * p[i];
            ii[i] = guide[i] * guide[i];
        }
    auto mI = wholeBoxMean(guide, w, h, r), mP = wholeBoxMean(p, w, h, r);
    auto mIP = wholeBoxMean(ip, w, h, r), mII = wholeBoxMean(ii, w, h, r);
    std::vector<float> a(n), b(n);
    for (size_t i = 0; i < n; ++i) {
        a[i] = (mIP[i] - mI[i] * mP[i]) / (mII[i] - mI[i] * mI[i] + epsilon);
        b[i] = mP[i] - a[i] * mI[i];
    }
    auto mA = wholeBoxMean(a, w, h, r), mB = wholeBoxMean(b, w, h, r);
    std::vector<float> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = std::clamp(ColorMath::sane(mA[i] * guide[i] + mB[i]), 0.0f, 1.0f);
    return out;
}

// Sharp squares and a slow ramp: the guide has edges the mask must find.
RGBAImage guidePicture(int w, int h) {
    RGBAImage image = RGBAImage::transparent(0, 0, w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float* q = image.row(y) + x * 4;
            float v = ((x / 11 + y / 7) % 2) ? 0.85f : 0.1f;
            q[0] = v;
            q[1] = 0.5f * v + 0.3f * x / w;
            q[2] = 0.2f;
            q[3] = 1;
        }
    return image;
}

enum class MaskShape { softDisc, wavering, hardHalf, flatHalfGrey, empty, full, corner };

RGBAImage maskOf(MaskShape shape, int w, int h) {
    RGBAImage m = RGBAImage::transparent(0, 0, w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            double dx = (x - w * 0.45) / (w * 0.25), dy = (y - h * 0.55) / (h * 0.3);
            float v = 0;
            switch (shape) {
            case MaskShape::softDisc: v = static_cast<float>(std::clamp((1 - std::hypot(dx, dy)) * 4, 0.0, 1.0)); break;
            case MaskShape::wavering:
                // A soft disc as resampling leaves it: its flat parts waver in the last places.
                v = static_cast<float>(std::clamp((1 - std::hypot(dx, dy)) * 4, 0.0, 1.0));
                v += (v >= 1 ? -6e-8f : v <= 0 ? 4e-8f : 0.0f) * static_cast<float>((x * 7 + y * 3) % 4);
                break;
            case MaskShape::hardHalf: v = x < w / 2 ? 1.0f : 0.0f; break;
            case MaskShape::flatHalfGrey: v = 0.5f; break;
            case MaskShape::empty: v = 0; break;
            case MaskShape::full: v = 1; break;
            case MaskShape::corner: v = x == w - 1 && y == h - 1 ? 0.7f : 0.0f; break;
            }
            float* q = m.row(y) + x * 4;
            q[0] = q[1] = q[2] = v;
            q[3] = 1;
        }
    return m;
}

struct Case {
    MaskShape shape;
    int maskWidth, maskHeight, width, height, radius;
};

class GuidedUpsampleTargets : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(GuidedUpsampleTargets);
} // namespace

TEST_P(GuidedUpsampleTargets, EdgeTilesAloneGiveTheWholePicturesFilter) {
    const Case cases[] = {
        {MaskShape::softDisc, 60, 34, 301, 170, 5},  {MaskShape::softDisc, 40, 40, 150, 97, 1},
        {MaskShape::softDisc, 64, 36, 256, 144, 24}, {MaskShape::hardHalf, 30, 20, 203, 131, 8},
        {MaskShape::wavering, 301, 170, 301, 170, 6}, {MaskShape::wavering, 80, 45, 320, 180, 8},
        {MaskShape::flatHalfGrey, 16, 9, 130, 70, 4}, {MaskShape::empty, 16, 9, 130, 70, 4},
        {MaskShape::full, 16, 9, 130, 70, 4},         {MaskShape::corner, 24, 16, 200, 140, 3},
        {MaskShape::hardHalf, 1, 1, 70, 65, 2},
        // Edges between one and two radii past a tile of 64: that tile still
        // feels them.
        {MaskShape::hardHalf, 152, 60, 152, 60, 8},   {MaskShape::hardHalf, 140, 60, 140, 60, 4},
    };
    for (const Case& c : cases) {
        RGBAImage mask = maskOf(c.shape, c.maskWidth, c.maskHeight), picture = guidePicture(c.width, c.height);
        RGBAImage refined = GuidedUpsample::refined(mask, picture, c.radius, 0.0025f);
        std::vector<float> reference = wholeRefined(mask, picture, c.radius, 0.0025f);
        ASSERT_EQ(refined.width, c.width);
        ASSERT_EQ(refined.height, c.height);
        for (int y = 0; y < c.height; ++y)
            for (int x = 0; x < c.width; ++x) {
                const float* o = refined.row(y) + x * 4;
                float want = reference[static_cast<size_t>(y) * c.width + x];
                ASSERT_NEAR(o[0], want, 1e-5) << "shape " << static_cast<int>(c.shape) << " at " << x << "," << y;
                ASSERT_EQ(o[1], o[0]);
                ASSERT_EQ(o[2], o[0]);
                ASSERT_EQ(o[3], 1.0f);
            }
    }
}

TEST(GuidedUpsample, BandsRefinedOneByOneGiveTheWholePicture) {
    RGBAImage mask = maskOf(MaskShape::softDisc, 60, 34), picture = guidePicture(301, 170);
    RGBAImage whole = GuidedUpsample::refined(mask, picture, 6, 0.0025f);
    for (int band : {1, 7, 32, 100}) {
        RGBAImage banded = RGBAImage::transparent(picture.x, picture.y, picture.width, picture.height);
        for (int from = 0; from < picture.height; from += band)
            GuidedUpsample::refineRows(mask, picture, 6, 0.0025f, banded, from, from + band);
        for (size_t i = 0; i < whole.pixels.size(); ++i)
            ASSERT_NEAR(banded.pixels[i], whole.pixels[i], 1e-5) << "bands of " << band << " rows, value " << i;
    }
}
