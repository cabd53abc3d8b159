#include "Core/Text/GaussianBlur.hpp"

#include <cmath>
#include <gtest/gtest.h>

using namespace korvel;

// A point spread keeps its mass and spreads with the asked sigma, in both
// the sampled-kernel and the box-pass ranges.
TEST(GaussianBlur, SpreadsAPointWithItsSigma) {
    for (double sigma : {1.0, 3.0, 8.0}) {
        const int w = 161, h = 121, ch = 2;
        std::vector<float> px(static_cast<size_t>(w) * h * ch, 0.0f);
        px[(static_cast<size_t>(60) * w + 80) * ch + 1] = 1.0f;
        gaussianBlur(px, w, h, ch, sigma);
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
        EXPECT_NEAR(std::sqrt(varX / mass), sigma, 0.15 * sigma + 0.1) << sigma;
        EXPECT_NEAR(std::sqrt(varY / mass), sigma, 0.15 * sigma + 0.1) << sigma;
        EXPECT_EQ(other, 0) << sigma;
    }
}
