#pragma once

#include "Core/Plan/AudioMix.hpp"

#include <cstdint>
#include <vector>

namespace korvel {

// A track's gain points as one linear factor per output frame, ramping
// linearly in dB between points.
struct GainCurve {
    // Sorted by outUs; equal times keep their given order.
    std::vector<PlanGainPoint> points;

    GainCurve() = default;
    explicit GainCurve(std::vector<PlanGainPoint> points);

    // Gains at frame positions start, start + 1, ... (start may be fractional).
    std::vector<float> linearGains(int64_t count, double startFrame) const;
};

} // namespace korvel
