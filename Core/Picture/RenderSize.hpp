#pragma once

#include <cstdint>

namespace korvel {

// A picture size in pixels.
struct RenderSize {
    int64_t width = 0;
    int64_t height = 0;

    bool operator==(const RenderSize&) const = default;

    // The size scaled down so that its longer side is at most `longEdge`,
    // both sides even; unchanged when it already fits.
    static RenderSize fitting(int64_t width, int64_t height, int64_t longEdge);
};

} // namespace korvel
