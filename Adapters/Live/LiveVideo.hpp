#pragma once

#include "Adapters/Live/LiveAsset.hpp"
#include "Adapters/Render/Drawing/Picture.hpp"
#include "Core/Timeline/FrameTimings.hpp"
#include "Core/Timeline/TickTime.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace korvel {

struct LiveComposition;
struct LiveDrawing;
class PlayerItem;

// The host's handle of one live composition, taken off the shelf once.
struct LiveVideo {
    std::shared_ptr<const LiveAsset> asset;
    std::shared_ptr<const LiveDrawing> videoComposition;
    int64_t durationUs = 0;
    int64_t frameCount = 0;
    int64_t width = 0;
    int64_t height = 0;
    std::string structure;
    std::function<FrameTimings()> timings;

    LiveVideo() = default;
    explicit LiveVideo(const LiveComposition& composition);

    FrameTimings drawn() const { return timings ? timings() : FrameTimings{}; }
    // The media time at which the frame showing at that time starts.
    TickTime frameStart(double seconds) const;
    std::shared_ptr<PlayerItem> playerItem() const;
    // A frame pulled from the compositor, as render.frame draws it.
    Picture frame(int64_t index) const;
    // The frame at a time, scaled down to fit the size when larger.
    Picture still(double seconds, double maxWidth, double maxHeight) const;
};

} // namespace korvel
