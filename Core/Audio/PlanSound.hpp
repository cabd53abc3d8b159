#pragma once

#include <cstdint>

namespace korvel {

// The two plan types the audio core reads. They belong to the render plan;
// this header holds them until the plan's own header provides them.
enum class AudioRole { voice, music, soundEffect };

struct PlanGainPoint {
    int64_t outUs = 0;
    double gainDb = 0;

    bool operator==(const PlanGainPoint&) const = default;
};

} // namespace korvel
