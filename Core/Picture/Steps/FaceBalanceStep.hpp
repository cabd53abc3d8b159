#pragma once

#include "Core/Picture/PixelChain.hpp"

namespace korvel {

// Face balance in YIQ on gamma-encoded values: every pixel's (I, Q) moves by
// strength x (target - measured face colour), the target skin tone being
// warmer as warmth rises (0.5 is a neutral skin).
class FaceBalanceStep final : public PixelStep {
public:
    static constexpr double defaultOrigI = 0.103905;
    static constexpr double defaultOrigQ = 0.0176465;
    static constexpr double defaultStrength = 0.5;
    static constexpr double defaultWarmth = 0.5;

    FaceBalanceStep(double origI, double origQ, double strength, double warmth);
    PixelDomain domain() const override { return PixelDomain::gammaStraight; }
    void run(float* rgba, int count, int, int) const override;

    static double targetI(double warmth) { return 0.04 + 0.16 * warmth; }
    static double targetQ(double warmth) { return 0.03 - 0.02 * warmth; }

private:
    float shiftI_, shiftQ_;
};

} // namespace korvel
