#pragma once

#include "Core/Picture/PixelChain.hpp"

namespace korvel {

// Saturation about luma, then brightness added, then contrast about 0.5,
// on gamma-encoded values.
class ColorControlsStep final : public PixelStep {
public:
    ColorControlsStep(float brightness, float contrast, float saturation)
        : brightness_(brightness), contrast_(contrast), saturation_(saturation) {}
    PixelDomain domain() const override { return PixelDomain::gammaStraight; }
    void run(float* rgba, int count, int, int) const override {
        for (int i = 0; i < count; ++i, rgba += 4) {
            float y = ColorMath::luma(rgba[0], rgba[1], rgba[2]);
            for (int c = 0; c < 3; ++c) {
                float v = y + (rgba[c] - y) * saturation_ + brightness_;
                rgba[c] = (v - 0.5f) * contrast_ + 0.5f;
            }
        }
    }

private:
    float brightness_, contrast_, saturation_;
};

} // namespace korvel
