#pragma once

#include "Core/Wire/Contract.hpp"
#include "Core/Plan/NormalizedRect.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace korvel {

enum class VideoOverlayRole { layout, broll, logo };

template <> struct EnumNames<VideoOverlayRole> {
    static constexpr std::string_view typeName = "VideoOverlayRole";
    static constexpr std::array<std::string_view, 3> names{"layout", "broll", "logo"};
};

// A clip placed on the canvas over the main track.
struct VideoOverlay {
    std::string id;
    VideoOverlayRole role = VideoOverlayRole::layout;
    std::string assetId;
    int64_t srcStartUs = 0;
    int64_t srcEndUs = 0;
    int64_t outStartUs = 0;
    int64_t outEndUs = 0;
    NormalizedRect rect;
    double opacity = 0;
    std::optional<NormalizedRect> window;
    std::optional<double> cornerRadiusPct;
    std::optional<std::string> matteKey;

    bool operator==(const VideoOverlay&) const = default;
    static VideoOverlay decode(const JSONReader& in);
    void encode(JSONWriter& out) const;
};

} // namespace korvel
