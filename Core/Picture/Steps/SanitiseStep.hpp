#pragma once

#include "Core/Picture/Color/ColorMath.hpp"
#include "Core/Picture/Kernels/Kernels.hpp"
#include "Core/Picture/PixelChain.hpp"

namespace korvel {

// NaN and infinities become 0 where a separate pass would have cleaned the
// picture, so that a fused chain draws what the passes drew.
class SanitiseStep final : public PixelStep {
public:
    PixelDomain domain() const override { return PixelDomain::linearPremultiplied; }
    void run(float* rgba, int count, int, int) const override {
        const size_t floats = static_cast<size_t>(count) * 4;
        if (!Kernels::references()) return Kernels::sanitise(rgba, floats);
        for (size_t i = 0; i < floats; ++i) rgba[i] = ColorMath::sane(rgba[i]);
    }
    // Every chain ends by cleaning its span the same way.
    bool changes(int, int, int) const override { return false; }
};

} // namespace korvel
