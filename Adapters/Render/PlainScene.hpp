#pragma once

#include "Adapters/Render/FrameScene.hpp"
#include "Adapters/Render/RenderInputs.hpp"
#include "Core/Render/LayerTracks.hpp"

#include <optional>

namespace korvel {

// Draws each frame's clip, framed by its transform, over black: what every
// composition shows before its layers are added.
class PlainScene : public FrameScene {
public:
    PlainScene(RenderInputs inputs, LayerTracks tracks, std::optional<FrameRange> window);
    RGBAImage picture(int64_t frame, const ComposedRange& range, const SourceFrames& source) override;

private:
    RenderInputs inputs_;
    LayerTracks tracks_;
};

} // namespace korvel
