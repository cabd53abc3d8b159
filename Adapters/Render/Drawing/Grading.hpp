#pragma once

#include "Adapters/Render/Drawing/RenderCanvas.hpp"
#include "Adapters/Render/Drawing/Grain.hpp"
#include "Core/Picture/Color/ColorRecipe.hpp"
#include "Core/Plan/ColorStep.hpp"
#include "Core/Picture/PixelChain.hpp"
#include "Core/Picture/RGBAImage.hpp"

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace korvel {

// The plan's colour stack on the frames of one scene: looks, corrections,
// matches and grain, as pointwise steps that the caller fuses with what
// follows them. Look cubes are kept by look and strength, a few, first in
// first out (a client may send a new strength every frame).
class Grading {
public:
    static constexpr size_t maxCubes = 16;

    Grading(std::vector<ColorStep> steps, ColorRecipe recipe, render::RenderCanvas canvas, const ResolvedTimeline& timeline);

    // Appends the active steps of the frame to `chain`. A step that needs the
    // picture as it is at that point (a highlight and shadow with a radius)
    // first runs the chain so far over `picture`. Throws EngineFailure.
    void graded(RGBAImage& picture, int64_t atUs, int64_t frame, PixelChain& chain) const;
    // Whether graded() at that time needs the picture itself, not only its
    // pixels one by one (a highlight and shadow with a radius).
    bool needsPicture(int64_t atUs) const;
    // The same, run at once.
    void graded(RGBAImage& picture, int64_t atUs, int64_t frame) const;

    // The key of a look at a strength: "warm_cinema|1.0", "cool_film|0.35".
    static std::string cubeKey(const std::string& look, double strength);
    std::shared_ptr<const std::vector<float>> cube(const std::string& look, double strength) const;
    size_t cachedCubes() const;

    const Grain& grain() const { return grain_; }

private:
    void correct(const std::map<std::string, double>& adjustments, RGBAImage& picture, PixelChain& chain) const;

    std::vector<ColorStep> steps_;
    ColorRecipe recipe_;
    render::RenderCanvas canvas_;
    Grain grain_;
    mutable std::mutex lock_;
    mutable std::map<std::string, std::shared_ptr<const std::vector<float>>> cubes_;
    mutable std::deque<std::string> order_;
};

} // namespace korvel
