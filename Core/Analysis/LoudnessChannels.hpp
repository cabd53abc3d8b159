#pragma once

#include <optional>
#include <string_view>

namespace korvel {

// How a source's sound is measured: folded to one voice heard in both ears,
// or with its channels as they stand.
enum class LoudnessChannels { voiceInBoth, asIs };

// The policy, decided before decoding: music keeps its channels; a voice on a
// picture is heard in both ears.
LoudnessChannels loudnessChannelsPolicy(std::optional<std::string_view> heardAs, bool hasPicture);

} // namespace korvel
