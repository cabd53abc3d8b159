#pragma once

#include "Core/Picture/PixelChain.hpp"

namespace korvel {

// Per-channel gains on gamma-encoded values (white balance, colour match).
class GainsStep final : public PixelStep {
public:
    GainsStep(float r, float g, float b) : r_(r), g_(g), b_(b) {}
    PixelDomain domain() const override { return PixelDomain::gammaStraight; }
    void run(float* rgba, int count, int, int) const override {
        for (int i = 0; i < count; ++i, rgba += 4) {
            rgba[0] *= r_;
            rgba[1] *= g_;
            rgba[2] *= b_;
        }
    }

private:
    float r_, g_, b_;
};

} // namespace korvel
