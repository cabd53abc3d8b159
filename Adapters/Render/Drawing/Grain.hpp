#pragma once

#include "Adapters/Render/Drawing/RenderCanvas.hpp"
#include "Core/Picture/Color/ColorRecipe.hpp"
#include "Core/Timeline/ResolvedTimeline.hpp"
#include "Core/Picture/Steps/GrainStep.hpp"

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace korvel {

// Seeded grain of one scene: tiles by seed (a few, first in first out, so
// many seeds cannot pile up), offsets by the source frame shown.
class Grain {
public:
    static constexpr size_t maxTiles = 8;

    Grain(const ResolvedTimeline& timeline, ColorRecipe recipe, render::RenderCanvas canvas)
        : timeline_(timeline), recipe_(recipe), canvas_(canvas) {}

    // The grain step of a frame; it acts in the recipe's gamma space.
    std::unique_ptr<GrainStep> step(double strength, int64_t seed, int64_t frame) const;
    // The source time whose grain a frame carries: a held frame keeps it.
    int64_t sourceUs(int64_t frame) const;
    // The tile's levels (its bytes / 255).
    std::shared_ptr<const std::vector<float>> tile(int64_t seed) const;
    size_t cachedTiles() const;

private:
    const ResolvedTimeline& timeline_;
    ColorRecipe recipe_;
    render::RenderCanvas canvas_;
    mutable std::mutex lock_;
    mutable std::map<int64_t, std::shared_ptr<const std::vector<float>>> tiles_;
    mutable std::deque<int64_t> order_;
};

} // namespace korvel
