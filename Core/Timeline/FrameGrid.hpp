#pragma once

#include "Core/Plan/Canvas.hpp"

#include <cstdint>

namespace korvel {

// The output frame grid of a plan. Every conversion is exact integer
// arithmetic (128-bit on the way, TimeOverflow when a result leaves 64 bits),
// because cache keys and copy decisions depend on it bit for bit.
struct FrameGrid {
    FrameRate fps;
    int32_t timescale = 0;
    int64_t ticksPerFrame = 0;

    FrameGrid() = default;
    // Throws TimeOverflow for a rate that is not positive or whose timescale
    // does not fit 32 bits.
    explicit FrameGrid(FrameRate fps);

    double frameDurationSeconds() const;
    // Nearest frame, halves rounding up.
    int64_t frame(int64_t us) const;
    int64_t frameCount(int64_t durationUs) const { return frame(durationUs); }
    // The frame whose interval holds us + 0.5.
    int64_t frameContaining(int64_t us) const;
    // Start of a frame in microseconds, halves rounding up.
    int64_t us(int64_t frame) const;

    bool operator==(const FrameGrid&) const = default;
};

} // namespace korvel
