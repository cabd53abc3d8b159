#include "Core/Analysis/LoudnessChannels.hpp"

namespace korvel {

LoudnessChannels loudnessChannelsPolicy(std::optional<std::string_view> heardAs, bool hasPicture) {
    if (heardAs == "music") return LoudnessChannels::asIs;
    return hasPicture ? LoudnessChannels::voiceInBoth : LoudnessChannels::asIs;
}

} // namespace korvel
