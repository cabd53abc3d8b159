#pragma once

#include "Adapters/Audio/AudioPlanRenderer.hpp"
#include "Core/JSONValue.hpp"
#include "Core/Jobs.hpp"

namespace korvel {

// The protocol face of the audio plan renderer: audio.mix and the audio
// track of render.segment. Plan and sources go on as raw JSON.
namespace AudioMethods {
JSONValue mix(const JSONValue& params, AudioPlanRenderer& plans, const JobContext& job);
JSONValue segment(const JSONValue& params, AudioPlanRenderer& plans, const JobContext& job);
} // namespace AudioMethods

} // namespace korvel
