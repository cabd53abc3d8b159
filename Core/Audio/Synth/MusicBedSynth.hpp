#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace korvel {

// Generated stereo backing tracks: a four-chord progression of additive pads
// (with plucks and a kick for the upbeat style) and a short cross-fed echo.
namespace MusicBedSynth {
// Twelve chords, or fewer frames when fewer are asked for.
int64_t framesWritten(std::string_view recipe, int64_t seed, int64_t frames);
// Left and right, exactly `frames` long.
std::vector<std::vector<float>> writtenOut(std::string_view recipe, int64_t seed, int64_t frames);
// The bed at its full length, levelled to `lufs`: long beds loop their middle chords.
std::vector<std::vector<float>> bed(std::string_view recipe, int64_t seed, int64_t frames, double lufs);

// The same bed as the chords it is made of: frame i is body frame i below
// 2 × third, then body frame third + (i − 2 × third) mod third. A bed that
// does not loop has third 0 and its whole length in the body.
struct Looped {
    std::vector<std::vector<float>> body;
    int64_t third = 0;
    int64_t frames = 0;

    int64_t bodyFrame(int64_t i) const { return third == 0 || i < 2 * third ? i : third + (i - 2 * third) % third; }
};
Looped looped(std::string_view recipe, int64_t seed, int64_t frames, double lufs);
} // namespace MusicBedSynth

} // namespace korvel
