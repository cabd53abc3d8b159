#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace korvel {

// The short generated sound effects, mono 48 kHz, each from a fixed recipe
// and (for most) a seed.
namespace EffectSynth {
// The samples of an effect, or nothing for a name that is not one.
std::optional<std::vector<float>> render(std::string_view recipe, int64_t seed);
} // namespace EffectSynth

} // namespace korvel
