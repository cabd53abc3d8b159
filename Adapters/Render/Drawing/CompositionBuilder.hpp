#pragma once

#include "Adapters/Render/Drawing/GraphScene.hpp"
#include "Adapters/Render/Sources/RenderInputs.hpp"
#include "Core/Timeline/Composition.hpp"

#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace korvel {

// A composition ready to draw: its tracks and instructions, the videos its
// edits read, and the one scene that draws all its frames.
struct BuiltComposition {
    Composition composition;
    std::map<CompositionSource, std::shared_ptr<const VideoSource>> videos;
    std::shared_ptr<GraphScene> scene;

    const FrameGrid& grid() const { return composition.grid; }
    int64_t frameCount() const { return composition.frameCount; }
};

// Builds the composition of a render from its resolved inputs.
struct CompositionBuilder {
    RenderInputs inputs;

    // Throws EngineFailure; the scene's preflight failures pass through.
    BuiltComposition build(std::optional<FrameRange> window) const;
};

} // namespace korvel
