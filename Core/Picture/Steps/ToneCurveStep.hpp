#pragma once

#include "Core/Picture/PixelChain.hpp"

#include <array>
#include <utility>
#include <vector>

namespace korvel {

// A tone curve on every colour channel: the monotone cubic (Fritsch-Carlson)
// through the points sorted by x, flat outside them.
class ToneCurveStep final : public PixelStep {
public:
    explicit ToneCurveStep(std::vector<std::pair<double, double>> points);
    PixelDomain domain() const override { return PixelDomain::gammaStraight; }
    void run(float* rgba, int count, int, int) const override;

    // The curve itself, exactly.
    double value(double x) const;
    static const std::array<std::pair<double, double>, 5>& defaults();

private:
    float lookUp(float x) const;
    std::vector<double> xs_, ys_, slopes_;
    static constexpr int steps = 1024;
    std::vector<float> table_;
    float x0_ = 0, x1_ = 1;
};

} // namespace korvel
