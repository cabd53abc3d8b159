#pragma once

#include "Core/Audio/PCMAudio.hpp"
#include "Core/Audio/PCMSource.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace korvel {

// The front door of generated sound: effects by name and seed, and music beds
// of any length.
namespace SoundRecipes {
inline constexpr std::array<std::string_view, 13> effects = {
    "whoosh", "swish", "reverse_whoosh", "riser", "sub_drop", "pop", "click",
    "tick",   "ding",  "boop",           "thud",  "shimmer",  "shutter"};
inline constexpr std::array<std::string_view, 3> beds = {"soft_bed", "upbeat_bed", "cinematic_bed"};
// Every effect is scaled to this true peak.
inline constexpr double effectPeakDb = -3.0;
// Every bed is scaled to this gated loudness.
inline constexpr double bedLufs = 0.0;

// One channel for an effect, two for a bed. Fails with invalidParams for an
// unknown name, a bed without a length, or a length beyond PCMAudio::maximumFrames.
PCMAudio render(std::string_view recipe, int64_t seed, std::optional<int64_t> frames);
// Frames [from, from + count) of render(recipe, seed, frames), made without
// the whole sound: a long bed is its chords, looped as it is read. Frames
// past the sound's end read as silence.
PCMSources::Source source(std::string_view recipe, int64_t seed, int64_t frames, int64_t from, int64_t count);
bool isBed(std::string_view recipe);
// The failures render() would give, without synthesizing anything.
void check(std::string_view recipe, std::optional<int64_t> frames);
} // namespace SoundRecipes

} // namespace korvel
