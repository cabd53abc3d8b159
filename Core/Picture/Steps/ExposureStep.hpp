#pragma once

#include "Core/Picture/PixelChain.hpp"

#include <algorithm>
#include <cmath>

namespace korvel {

// Exposure in stops on linear light. Client values beyond 16 EV are held
// there: 2^EV soon overflows a float.
class ExposureStep final : public PixelStep {
public:
    static constexpr double maxStops = 16;
    explicit ExposureStep(double ev)
        : gain_(static_cast<float>(std::exp2(std::clamp(std::isfinite(ev) ? ev : 0.0, -maxStops, maxStops)))) {}
    PixelDomain domain() const override { return PixelDomain::linearPremultiplied; }
    void run(float* rgba, int count, int, int) const override {
        for (int i = 0; i < count; ++i, rgba += 4) {
            rgba[0] *= gain_;
            rgba[1] *= gain_;
            rgba[2] *= gain_;
        }
    }
    float gain() const { return gain_; }

private:
    float gain_;
};

} // namespace korvel
