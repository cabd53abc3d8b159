#pragma once

#include "Core/Picture/PixelChain.hpp"

#include <memory>
#include <vector>

namespace korvel {

// Highlight and shadow: a luma gain from a base luma (the pixel's own, or a
// blurred plane of the canvas when a radius asks for one). Shadows lift
// (or sink) dark bases, highlights below 1 pull bright bases down; shadow 0
// with highlight 1 is the identity.
class HighlightShadowStep final : public PixelStep {
public:
    // `base`: canvas-sized gamma-encoded luma (row-major), or null.
    HighlightShadowStep(float shadow, float highlight, std::shared_ptr<const std::vector<float>> base = nullptr,
                        int canvasWidth = 0)
        : shadow_(shadow), highlight_(highlight), base_(std::move(base)), width_(canvasWidth) {}
    PixelDomain domain() const override { return PixelDomain::gammaStraight; }
    void run(float* rgba, int count, int x, int y) const override;

    // The new luma of a pixel of luma y over a base luma.
    static float adjusted(float y, float base, float shadow, float highlight);

private:
    float shadow_, highlight_;
    std::shared_ptr<const std::vector<float>> base_;
    int width_;
};

} // namespace korvel
