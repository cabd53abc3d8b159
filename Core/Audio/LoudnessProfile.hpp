#pragma once

#include "Core/Audio/PCMAudio.hpp"

#include <cstdint>
#include <vector>

namespace korvel {

class PCMSource;

// K-weighted power of every 10 ms step of a sound, kept so that the gated
// loudness of the whole or of any stretch costs no further filtering.
struct LoudnessProfile {
    static constexpr int64_t stepFrames = 480;

    // Mean square of the K-weighted signal per step, summed over channels.
    std::vector<double> steps;
    int64_t frameCount = 0;

    LoudnessProfile() = default;
    explicit LoudnessProfile(const PCMAudio& audio);
    // The same steps, read a block at a time.
    explicit LoudnessProfile(const PCMSource& audio);

    // Gated loudness of all steps, in LUFS.
    double integrated() const;
    // Gated loudness of the steps that cover frames [lower, upper).
    double lufs(int64_t lower, int64_t upper) const;

    bool operator==(const LoudnessProfile&) const = default;

private:
    double gated(size_t first, size_t end) const;
};

namespace Loudness {
inline constexpr double silenceLufs = -70.0;
double integrated(const PCMAudio& audio);
double integrated(const PCMSource& audio);
} // namespace Loudness

} // namespace korvel
