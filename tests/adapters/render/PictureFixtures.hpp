#pragma once

// Small pictures and scenes made in code for the compositor's tests.

#include "Adapters/Render/Drawing/GraphScene.hpp"
#include "Core/Picture/RGBAImage.hpp"
#include "tests/core/plan/PlanFixtures.hpp"

#include <functional>
#include <memory>

namespace korvel::pictures {

inline RGBAImage solid(int w, int h, float r, float g, float b, float a = 1) {
    RGBAImage image = RGBAImage::transparent(0, 0, w, h);
    for (size_t i = 0; i < image.pixels.size(); i += 4) {
        image.pixels[i] = r * a;
        image.pixels[i + 1] = g * a;
        image.pixels[i + 2] = b * a;
        image.pixels[i + 3] = a;
    }
    return image;
}

// Every pixel a value of its own: red from x, green from y.
inline RGBAImage ramp(int w, int h) {
    RGBAImage image = RGBAImage::transparent(0, 0, w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float* p = image.row(y) + x * 4;
            p[0] = (x + 0.5f) / w;
            p[1] = (y + 0.5f) / h;
            p[2] = 0.25f;
            p[3] = 1;
        }
    return image;
}

inline const float* at(const RGBAImage& image, int x, int y) { return image.row(y - image.y) + (x - image.x) * 4; }

// A plan on a small canvas at 30 fps whose pictures are all stills.
inline RenderPlan plan(int w, int h, int64_t durationUs = 2000000) {
    RenderPlan p = fixtures::plan(durationUs);
    p.canvas.width = w;
    p.canvas.height = h;
    return p;
}

inline RenderInputs stillInputs(const RenderPlan& plan, const std::map<std::string, RGBAImage>& stills) {
    RenderInputs inputs;
    inputs.plan = plan;
    inputs.size = {plan.canvas.width, plan.canvas.height};
    std::set<std::string, std::less<>> ids;
    for (const auto& [id, image] : stills) {
        inputs.stills[id] = std::make_shared<const RGBAImage>(image);
        ids.insert(id);
    }
    inputs.timeline = ResolvedTimeline(plan, {}, ids);
    return inputs;
}

inline ComposedRange range(int64_t frame, std::optional<int64_t> segment, bool transitioning = false,
                           std::vector<int64_t> overlays = {}, bool background = false) {
    return ComposedRange{{frame, frame + 1}, segment, transitioning, std::move(overlays), background};
}

inline const FrameSource noFrames = [](int32_t) { return std::shared_ptr<const RGBAImage>(); };

inline EngineFailure failureOf(const std::function<void()>& body) {
    try {
        body();
    } catch (const EngineFailure& f) {
        return f;
    }
    return {0, "no failure"};
}

} // namespace korvel::pictures
