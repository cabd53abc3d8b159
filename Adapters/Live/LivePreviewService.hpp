#pragma once

#include "Adapters/Live/LiveAsset.hpp"
#include "Adapters/Render/Outputs/AudioFeed.hpp"
#include "Adapters/Render/Drawing/CompositionBuilder.hpp"
#include "Adapters/Render/Sources/InputResolver.hpp"
#include "Adapters/Render/Drawing/Picture.hpp"
#include "Adapters/Media/SourceLibrary.hpp"
#include "Adapters/Text/TextCaches.hpp"
#include "Core/Wire/LiveMethodTypes.hpp"
#include "Core/Timeline/FrameTimings.hpp"
#include "Core/Picture/RGBAImage.hpp"
#include "Core/Timeline/TrackTimes.hpp"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace korvel {

// How each frame is drawn: the compositor over one scene.
struct LiveDrawing {
    std::shared_ptr<const BuiltComposition> built;
    TickTime frameDuration;
    RenderSize size;

    // The frame in the working space; throws the scene's failure.
    RGBAImage frame(int64_t index) const;
    // The frame as 8-bit RGB, exactly as render.frame writes it.
    Picture picture(int64_t index) const;
};

// A composition of a whole plan, ready for the host's player.
struct LiveComposition {
    std::shared_ptr<const LiveAsset> composition;
    std::shared_ptr<const LiveDrawing> videoComposition;
    int64_t frameCount = 0;
    int64_t durationUs = 0;
    int64_t width = 0;
    int64_t height = 0;
    std::string structure;
    std::shared_ptr<GraphScene> scene;

    FrameTimings drawn() const { return scene ? scene->timings() : FrameTimings{}; }
};

// Turns render.live params into a live composition; nothing is drawn ahead.
struct LivePreviewService {
    std::shared_ptr<SourceLibrary> library;
    InputResolver resolver;

    LivePreviewService(std::shared_ptr<SourceLibrary> library, std::shared_ptr<TextCaches> text);

    // Throws EngineFailure and the resolver's failures.
    LiveComposition open(const LiveParams& params) const;

    // frameCount × 1e6 × den / num, halves up, in integers.
    static int64_t durationUs(const FrameGrid& grid, int64_t frameCount);
};

} // namespace korvel
