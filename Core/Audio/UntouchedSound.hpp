#pragma once

#include "Core/Plan/AudioMix.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace korvel {

// Whether a plan's whole sound is one voice recording played as it is, so
// that the source's own sound can go out unchanged.
namespace UntouchedSound {
std::optional<std::string> asset(const AudioMix& mix, int64_t durationUs);
} // namespace UntouchedSound

} // namespace korvel
