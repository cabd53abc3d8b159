#pragma once

#include "Adapters/Render/Sources/VideoSource.hpp"
#include "Adapters/Text/TextCaches.hpp"
#include "Core/Picture/Color/ColorRecipe.hpp"
#include "Core/Picture/RGBAImage.hpp"
#include "Core/Plan/RenderPlan.hpp"
#include "Core/Picture/RenderSize.hpp"
#include "Core/Timeline/ResolvedTimeline.hpp"

#include <map>
#include <memory>
#include <optional>
#include <string>

namespace korvel {

// A stored mask movie of a video overlay.
struct OverlayMatte {
    VideoSource video;
    bool greenScreen = false;
};

// Everything one render draws from, gathered and checked before anything is
// drawn; nothing downstream opens a file.
struct RenderInputs {
    RenderPlan plan;                 // already resolved for the variant
    ResolvedTimeline timeline;
    std::map<std::string, VideoSource, std::less<>> videos;
    // Decoded upright, in the working space.
    std::map<std::string, std::shared_ptr<const RGBAImage>, std::less<>> stills;
    std::optional<VideoSource> matte;
    std::optional<std::string> matteAssetId;
    bool despillGreen = false;
    std::map<std::string, OverlayMatte, std::less<>> overlayMattes;
    ColorRecipe recipe;
    RenderSize size;
    std::shared_ptr<TextCaches> text;
};

} // namespace korvel
