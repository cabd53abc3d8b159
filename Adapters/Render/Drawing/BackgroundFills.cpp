#include "Adapters/Render/Drawing/BackgroundFills.hpp"

#include "Adapters/Render/Drawing/Blur.hpp"
#include "Adapters/Render/Drawing/Tiles.hpp"
#include "Core/Picture/Color/ColorMath.hpp"
#include "Core/Picture/Compositing.hpp"
#include "Core/Picture/Orientation.hpp"
#include "Core/Picture/Steps/ColorControlsStep.hpp"
#include "Core/Text/HexColor.hpp"

#include <cmath>

namespace korvel {

namespace {
RGBAImage solid(const render::RenderCanvas& canvas, float r, float g, float b, float a) {
    RGBAImage out = RGBAImage::transparent(0, 0, canvas.pixelWidth(), canvas.pixelHeight());
    for (size_t i = 0; i < out.pixels.size(); i += 4) {
        out.pixels[i] = r;
        out.pixels[i + 1] = g;
        out.pixels[i + 2] = b;
        out.pixels[i + 3] = a;
    }
    return out;
}

RGBAImage onCanvas(const render::RenderCanvas& canvas, const RGBAImage& picture) {
    RGBAImage out = RGBAImage::transparent(0, 0, canvas.pixelWidth(), canvas.pixelHeight());
    Tiles::rows(0, out.height, [&](int from, int to) { Compositing::over(out, picture, from, to); });
    return out;
}
} // namespace

RGBAImage BackgroundFills::image(const BackgroundFill& fill, const RGBAImage& behind, int64_t frame,
                                 const FrameSource& source) const {
    const render::RenderCanvas& canvas = placement_.canvas;
    if (const auto* blur = fill.blur()) {
        double sigma = blur->radiusPct * canvas.unit;
        return Blur::gaussianOnCanvas(behind, canvas.pixelWidth(), canvas.pixelHeight(), sigma,
                                      std::hypot(canvas.width, canvas.height));
    }
    if (fill.isGray()) {
        RGBAImage out = onCanvas(canvas, behind);
        PixelChain chain(ColorRecipe::gradingSpace);
        chain.add(std::make_unique<ColorControlsStep>(0.0f, 1.0f, 0.0f));
        Tiles::run(out, chain);
        return out;
    }
    if (fill.isNone()) return solid(canvas, 0, 0, 0, 1);
    if (const auto* s = fill.solid()) {
        // The colour is given in the grading space.
        auto c = HexColor::working(s->color, 1);
        return solid(canvas, c[0], c[1], c[2], 1);
    }
    const auto* asset = fill.asset();
    const std::string id = asset ? asset->assetId : std::string();
    if (auto still = stills_.find(id); asset && still != stills_.end()) {
        {
            std::lock_guard guard(lock_);
            if (auto hit = fills_.find(id); hit != fills_.end()) return *hit->second;
        }
        auto covered = std::make_shared<const RGBAImage>(
            onCanvas(canvas, placement_.covered(*still->second, canvas.rect)));
        std::lock_guard guard(lock_);
        fills_[id] = covered;
        return *covered;
    }
    if (asset && track_ && source) {
        auto video = videos_.find(id);
        if (video != videos_.end()) {
            if (auto decoded = source(*track_)) {
                RGBAImage upright = Orientation::upright(*decoded, video->second.orientation());
                return onCanvas(canvas, placement_.covered(upright, canvas.rect));
            }
        }
    }
    throw EngineFailure::internalError("Frame " + std::to_string(frame) + " has no decoded background.");
}

} // namespace korvel
