#pragma once

#include "Core/Timeline/TickTime.hpp"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

namespace korvel {

struct BuiltComposition;
struct LiveParams;
class SourceLibrary;

// The sound beside a live picture: one file's sound from time 0, cut to the
// picture's length.
struct LiveSoundTrack {
    std::filesystem::path asset;
    int32_t track = 1;   // the file's sound track, as the file numbers it
    TickTime start;     // where it plays from in the file and on the composition
    TickTime duration;  // at the picture's timescale
    bool copied = false; // a source's own sound rather than the mix

    // Nothing when the preview is silent. Throws EngineFailure.
    static std::optional<LiveSoundTrack> of(const LiveParams& params, SourceLibrary& library,
                                            TickTime videoDuration, double toleranceSeconds);
};

// What a player item plays: the picture's tracks and the sound's.
struct LiveAsset {
    std::shared_ptr<const BuiltComposition> built;
    std::optional<LiveSoundTrack> sound;
    TickTime duration;
};

} // namespace korvel
