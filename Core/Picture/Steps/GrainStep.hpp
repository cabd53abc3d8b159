#pragma once

#include "Core/Picture/Kernels/Kernels.hpp"
#include "Core/Picture/Color/LookCube.hpp"
#include "Core/Picture/PixelChain.hpp"

#include <memory>
#include <vector>

namespace korvel {

// Film grain: the seed's tile, shifted by the frame's offset and scaled so
// one tile pixel is one grain cell, sampled linearly, matrixed to a grey of
// 0.5 plus the grain at amplitude 0.8 x strength, and soft-light blended
// over the gamma-encoded picture.
class GrainStep final : public PixelStep {
public:
    // `tile`: 512 x 512 grain levels in [0, 1] (the tile image's bytes / 255).
    GrainStep(std::shared_ptr<const std::vector<float>> tile, GrainOffset offset, double scale, double strength,
              int canvasHeight);
    PixelDomain domain() const override { return PixelDomain::gammaStraight; }
    void run(float* rgba, int count, int x, int y) const override;
    bool runThenDecode(float* rgba, int count, int x, int y, ColorSpace gamma) const override;

    // The soft-light blend of a source over a backdrop.
    static float softLight(float b, float s) {
        if (s <= 0.5f) return b - (1 - 2 * s) * b * (1 - b);
        float cb = b > 0 ? b : 0.0f;
        float d = cb <= 0.25f ? ((16 * cb - 12) * cb + 4) * cb : __builtin_sqrtf(cb);
        return b + (2 * s - 1) * (d - b);
    }
    // The grain level (before the matrix) at canvas pixel (x, y), y down.
    float level(int x, int y) const;

private:
    // The tile rows and constants of canvas row y, from pixel x on.
    Kernels::GrainRow row(int x, int y) const;

    std::shared_ptr<const std::vector<float>> tile_;
    GrainOffset offset_;
    double inverseScale_;
    float amplitude_;
    int canvasHeight_;
};

} // namespace korvel
