#include "Core/Audio/UntouchedSound.hpp"

#include <algorithm>

namespace korvel::UntouchedSound {

std::optional<std::string> asset(const AudioMix& mix, int64_t durationUs) {
    if (mix.targetLufs || mix.tracks.size() != 1) return std::nullopt;
    const AudioTrack& t = mix.tracks.front();
    if (t.role != AudioRole::voice || !t.assetId || t.generated || t.isolation || t.speed != 1.0) return std::nullopt;
    if (!std::all_of(t.gain.begin(), t.gain.end(), [](const PlanGainPoint& p) { return p.gainDb == 0; })) {
        return std::nullopt;
    }
    if (t.srcStartUs != 0 || t.srcEndUs != durationUs || t.outStartUs != 0 || t.outEndUs != durationUs) {
        return std::nullopt;
    }
    return *t.assetId;
}

} // namespace korvel::UntouchedSound
