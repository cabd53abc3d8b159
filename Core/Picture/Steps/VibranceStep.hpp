#pragma once

#include "Core/Picture/PixelChain.hpp"

#include <algorithm>

namespace korvel {

// Vibrance: saturation about luma with a gain of 1 + amount x (1 - (max -
// min)), so dull colours move more than vivid ones.
class VibranceStep final : public PixelStep {
public:
    explicit VibranceStep(float amount) : amount_(amount) {}
    PixelDomain domain() const override { return PixelDomain::gammaStraight; }
    void run(float* rgba, int count, int, int) const override {
        for (int i = 0; i < count; ++i, rgba += 4) {
            float r = rgba[0], g = rgba[1], b = rgba[2];
            float spread = std::max({r, g, b}) - std::min({r, g, b});
            float gain = 1 + amount_ * (1 - spread);
            float y = ColorMath::luma(r, g, b);
            rgba[0] = y + (r - y) * gain;
            rgba[1] = y + (g - y) * gain;
            rgba[2] = y + (b - y) * gain;
        }
    }

private:
    float amount_;
};

} // namespace korvel
