#pragma once

#include "Adapters/Render/Sources/FrameSource.hpp"
#include "Adapters/Render/Drawing/Placement.hpp"
#include "Adapters/Render/Sources/VideoSource.hpp"
#include "Core/Plan/PlanBackground.hpp"
#include "Core/Picture/RGBAImage.hpp"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace korvel {

// What stands behind a picture whose background is replaced: a colour, a
// still or video asset, a blur or a grey of the picture itself, or black.
class BackgroundFills {
public:
    BackgroundFills(std::map<std::string, std::shared_ptr<const RGBAImage>, std::less<>> stills,
                    std::map<std::string, VideoSource, std::less<>> videos, std::optional<int32_t> track,
                    Placement placement)
        : stills_(std::move(stills)), videos_(std::move(videos)), track_(track), placement_(placement) {}

    // Canvas-sized. Throws EngineFailure.
    RGBAImage image(const BackgroundFill& fill, const RGBAImage& behind, int64_t frame, const FrameSource& source) const;

private:
    std::map<std::string, std::shared_ptr<const RGBAImage>, std::less<>> stills_;
    std::map<std::string, VideoSource, std::less<>> videos_;
    std::optional<int32_t> track_;
    Placement placement_;
    mutable std::mutex lock_;
    // Still backgrounds already covering the canvas, one per asset at most.
    mutable std::map<std::string, std::shared_ptr<const RGBAImage>> fills_;
};

} // namespace korvel
