#pragma once

#include "Adapters/Audio/AudioPlanRenderer.hpp"
#include "Core/JSONValue.hpp"
#include "Core/Jobs.hpp"
#include "Core/Wire/SegmentMethodTypes.hpp"

namespace korvel {

// The protocol face of the audio plan renderer: audio.mix, whose plan and
// sources go on as raw JSON, and the audio track of render.segment, whose
// params the render method table has already decoded.
namespace AudioMethods {
JSONValue mix(const JSONValue& params, AudioPlanRenderer& plans, const JobContext& job);
SegmentResult segment(const SegmentParams& params, AudioPlanRenderer& plans, const JobContext& job);
} // namespace AudioMethods

} // namespace korvel
