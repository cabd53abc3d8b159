#pragma once

#include "Core/Picture/PixelChain.hpp"

#include <memory>
#include <vector>

namespace korvel {

// A colour cube (red fastest, RGBA entries) looked up trilinearly on
// gamma-encoded values clamped to [0, 1]; alpha is kept.
class CubeStep final : public PixelStep {
public:
    CubeStep(std::shared_ptr<const std::vector<float>> cube, int dimension) : cube_(std::move(cube)), n_(dimension) {}
    PixelDomain domain() const override { return PixelDomain::gammaStraight; }
    void run(float* rgba, int count, int x, int y) const override;

private:
    std::shared_ptr<const std::vector<float>> cube_;
    int n_;
};

} // namespace korvel
