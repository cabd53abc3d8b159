#pragma once

#include "Core/Container/MovieBox.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace korvel {

// A movie's sound track when it is plain AAC: the first sound track, one
// "mp4a" sample entry whose esds names MPEG-4 audio with an AAC-LC
// AudioSpecificConfig of 1024-frame packets, at most one plain edit, and
// packets that follow each other 1024 frames apart. Such a track can be cut
// at packet bounds and decoded without gap filling; anything else goes the
// general way.
struct PlainAACTrack {
    static constexpr int64_t framesPerPacket = 1024;

    const MovieTrack* track = nullptr; // inside the movie it was read from
    int64_t channels = 0;              // the decoder configuration's, not the entry's template count
    int64_t rate = 0;                  // the media timescale
    int64_t delayFrames = 0;           // where the edit starts in the media
    int64_t presentedFrames = 0;       // what the edit presents, or the whole media
    std::vector<MovieSample> samples;

    // Nothing when the movie's sound is not plain AAC; never throws.
    static std::optional<PlainAACTrack> of(const MovieBox& movie);
};

} // namespace korvel
