// The one Gaussian against a plain separable Gaussian in doubles, with both
// rules for what lies beyond the picture.
#include "Core/Picture/GaussianBlur.hpp"
#include "Core/Picture/Kernels/Kernels.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

using namespace korvel;

namespace {
// Hard edges, fine stripes and a slow ramp, a different one per channel.
std::vector<float> detailed(int w, int h, int ch) {
    std::vector<float> px(static_cast<size_t>(w) * h * ch);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < ch; ++c) {
                float v = c % 3 == 0 ? (((x / 9 + y / 13) % 2) ? 0.95f : 0.02f)
                          : c % 3 == 1 ? (x % 3 == 0 ? 0.8f : 0.1f)
                                       : 1.2f * (x + y) / (w + h);
                px[(static_cast<size_t>(y) * w + x) * ch + c] = v;
            }
    return px;
}

// Taps out to round(8 sigma + 1) / 2 pixels each side, normalised over all
// of them; beyond the picture zero or the edge pixel; sums in double.
std::vector<double> axisTaps(double sigma) {
    if (sigma <= 0) return {1.0};
    const int r = static_cast<int>(std::lrint(8 * sigma + 1) | 1) / 2;
    std::vector<double> t(static_cast<size_t>(2 * r + 1));
    double total = 0;
    for (int k = -r; k <= r; ++k) total += t[static_cast<size_t>(k + r)] = std::exp(-k * k / (2 * sigma * sigma));
    for (double& v : t) v /= total;
    return t;
}

std::vector<double> reference(const std::vector<float>& px, int w, int h, int ch, double sx, double sy, BlurEdge edge) {
    auto pass = [&](const std::vector<double>& in, bool alongRows, double sigma) {
        const std::vector<double> t = axisTaps(sigma);
        const int r = static_cast<int>(t.size() / 2), n = alongRows ? w : h;
        std::vector<double> out(in.size());
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                for (int c = 0; c < ch; ++c) {
                    double s = 0;
                    for (int k = -r; k <= r; ++k) {
                        int at = (alongRows ? x : y) + k;
                        if (at < 0 || at >= n) {
                            if (edge == BlurEdge::transparent) continue;
                            at = std::clamp(at, 0, n - 1);
                        }
                        const int sx0 = alongRows ? at : x, sy0 = alongRows ? y : at;
                        s += t[static_cast<size_t>(k + r)] * in[(static_cast<size_t>(sy0) * w + sx0) * ch + c];
                    }
                    out[(static_cast<size_t>(y) * w + x) * ch + c] = s;
                }
        return out;
    };
    return pass(pass(std::vector<double>(px.begin(), px.end()), true, sx), false, sy);
}
} // namespace

TEST(GaussianBlur, IsTheSeparableGaussianWithEitherEdge) {
    struct Case {
        int width, height, channels;
        double sigmaX, sigmaY;
        BlurEdge edge;
    };
    // Small and wide sigmas, axes apart, kernels wider than the picture, one
    // row and one pixel, one to four channels.
    const Case cases[] = {{61, 37, 4, 0.5, 0.5, BlurEdge::repeated},     {61, 37, 4, 2, 2, BlurEdge::transparent},
                          {160, 90, 4, 3.7, 1.3, BlurEdge::repeated},    {160, 90, 4, 4, 4, BlurEdge::transparent},
                          {40, 300, 1, 8, 8, BlurEdge::transparent},     {7, 5, 4, 4, 4, BlurEdge::repeated},
                          {1, 1, 4, 3, 3, BlurEdge::repeated},           {1, 50, 1, 2, 5, BlurEdge::transparent},
                          {200, 40, 2, 15, 15, BlurEdge::transparent},   {97, 1, 3, 6, 0, BlurEdge::repeated},
                          {600, 30, 4, 1.1, 12.5, BlurEdge::transparent}};
    for (const Case& c : cases) {
        const std::vector<float> px = detailed(c.width, c.height, c.channels);
        const std::vector<double> want = reference(px, c.width, c.height, c.channels, c.sigmaX, c.sigmaY, c.edge);
        std::vector<float> got(px.size(), -1.0f);
        GaussianBlur::blur(GaussianBlur::plan(c.width, c.height, c.channels, c.sigmaX, c.sigmaY, c.edge), px.data(),
                           got.data());
        double worst = 0;
        for (size_t i = 0; i < px.size(); ++i) worst = std::max(worst, std::fabs(got[i] - want[i]));
        EXPECT_LT(worst, 2e-6) << c.width << "x" << c.height << "x" << c.channels << " sigma " << c.sigmaX << ","
                               << c.sigmaY << (c.edge == BlurEdge::transparent ? " transparent" : " repeated");
    }
}

TEST(GaussianBlur, AWideOneOnAShrunkCopyIsWithinAFractionOfACodeValue) {
    // Text as it is blurred, inside a transparent margin of three sigmas,
    // and pictures whose edges repeat; copies the picture divides and ones
    // it does not.
    struct Case {
        int width, height, channels;
        double sigma;
        BlurEdge edge;
    };
    const Case cases[] = {{180, 90, 4, 8.5, BlurEdge::transparent}, {301, 120, 1, 15, BlurEdge::transparent},
                          {400, 280, 4, 40, BlurEdge::transparent}, {190, 70, 4, 12, BlurEdge::repeated},
                          {30, 20, 2, 25, BlurEdge::repeated},      {60, 300, 1, 9, BlurEdge::transparent}};
    for (const Case& c : cases) {
        std::vector<float> px = detailed(c.width, c.height, c.channels);
        if (c.edge == BlurEdge::transparent) {
            const int margin = static_cast<int>(std::ceil(3 * c.sigma));
            for (int y = 0; y < c.height; ++y)
                for (int x = 0; x < c.width; ++x)
                    if (x < margin || y < margin || x >= c.width - margin || y >= c.height - margin)
                        for (int k = 0; k < c.channels; ++k) px[(static_cast<size_t>(y) * c.width + x) * c.channels + k] = 0;
        }
        const std::vector<double> want = reference(px, c.width, c.height, c.channels, c.sigma, c.sigma, c.edge);
        GaussianBlur::blur(px.data(), c.width, c.height, c.channels, c.sigma, c.edge);
        double worst = 0;
        for (size_t i = 0; i < px.size(); ++i) worst = std::max(worst, std::fabs(px[i] - want[i]));
        EXPECT_LT(worst * 255, 0.5) << c.width << "x" << c.height << "x" << c.channels << " sigma " << c.sigma;
    }
}

// A point spread keeps its mass and spreads with the asked sigma, at full
// size and on the shrunk copy; the channel beside it stays untouched.
TEST(GaussianBlur, SpreadsAPointWithItsSigma) {
    for (double sigma : {1.0, 3.0, 8.0, 12.0}) {
        const int w = 161, h = 121, ch = 2;
        std::vector<float> px(static_cast<size_t>(w) * h * ch, 0.0f);
        px[(static_cast<size_t>(60) * w + 80) * ch + 1] = 1.0f;
        GaussianBlur::blur(px.data(), w, h, ch, sigma, BlurEdge::transparent);
        double mass = 0, varX = 0, varY = 0, other = 0;
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const double v = px[(static_cast<size_t>(y) * w + x) * ch + 1];
                mass += v;
                varX += v * (x - 80) * (x - 80);
                varY += v * (y - 60) * (y - 60);
                other += std::fabs(px[(static_cast<size_t>(y) * w + x) * ch]);
            }
        }
        EXPECT_NEAR(mass, 1, 1e-4) << sigma;
        EXPECT_NEAR(std::sqrt(varX / mass), sigma, 0.02 * sigma) << sigma;
        EXPECT_NEAR(std::sqrt(varY / mass), sigma, 0.02 * sigma) << sigma;
        EXPECT_EQ(other, 0) << sigma;
    }
}

TEST(GaussianBlur, InPlaceIsTheSame) {
    std::vector<float> px = detailed(83, 41, 4), out(px.size());
    const GaussianBlur::Plan plan = GaussianBlur::plan(83, 41, 4, 5, 5, BlurEdge::transparent);
    GaussianBlur::blur(plan, px.data(), out.data());
    GaussianBlur::blur(px.data(), 83, 41, 4, 5, BlurEdge::transparent);
    EXPECT_EQ(px, out);
}

TEST(GaussianBlur, TheScalarReferencesGiveTheSameBlur) {
    const std::vector<float> px = detailed(203, 37, 4);
    std::vector<float> vector(px.size()), scalar(px.size());
    const GaussianBlur::Plan plan = GaussianBlur::plan(203, 37, 4, 3.5, 2.5, BlurEdge::repeated);
    GaussianBlur::blur(plan, px.data(), vector.data());
    Kernels::useReferences(true);
    GaussianBlur::blur(plan, px.data(), scalar.data());
    Kernels::useReferences(false);
    EXPECT_EQ(vector, scalar);
}

TEST(GaussianBlur, KernelsHaveTheFloatGaussiansSize) {
    struct Case {
        double sigma;
        size_t halfTaps;
    };
    // round(8 sigma + 1) | 1 taps, halves going to the even neighbour: 3.5
    // rounds to 4 (5 taps), 2.5 to 2 (3 taps); nothing to blur gives one tap.
    const Case cases[] = {{0.1, 2}, {0.1875, 2}, {0.3125, 3}, {0.6, 4}, {1, 5},
                          {2, 9},   {4, 17},     {0, 1},      {-1, 1},  {NAN, 1}};
    for (const Case& c : cases) {
        const std::vector<float> t = GaussianBlur::taps(c.sigma);
        EXPECT_EQ(t.size(), c.halfTaps) << c.sigma;
        double sum = t[0];
        for (size_t j = 1; j < t.size(); ++j) sum += 2.0 * t[j];
        EXPECT_NEAR(sum, 1, 1e-6) << c.sigma;
    }
}

TEST(GaussianBlur, AFlatPictureStaysFlatOrFadesAtItsEdges) {
    const int w = 50, h = 40;
    const double sigma = 3;
    std::vector<float> repeated(static_cast<size_t>(w) * h, 0.7f), transparent = repeated;
    GaussianBlur::blur(repeated.data(), w, h, 1, sigma, BlurEdge::repeated);
    GaussianBlur::blur(transparent.data(), w, h, 1, sigma, BlurEdge::transparent);
    for (float v : repeated) ASSERT_NEAR(v, 0.7f, 1e-6);
    // A corner keeps the kernel's quarter that lies inside; the middle all.
    const std::vector<float> t = GaussianBlur::taps(sigma);
    double inside = 0.5 + t[0] / 2;
    EXPECT_NEAR(transparent[0], 0.7 * inside * inside, 1e-6);
    EXPECT_NEAR(transparent[static_cast<size_t>(h / 2) * w + w / 2], 0.7, 1e-6);
}
