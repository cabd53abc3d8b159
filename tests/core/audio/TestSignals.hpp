#pragma once

// Signals the audio tests measure, at 48 kHz. Each is a pure function of its
// arguments, so expected numbers stay valid from run to run.

#include <cmath>
#include <cstdint>
#include <vector>

namespace korvel::testsignals {

inline std::vector<float> sine(double hz, double amplitude, int64_t frames, double phase = 0) {
    std::vector<float> out(static_cast<size_t>(frames));
    for (int64_t i = 0; i < frames; ++i)
        out[static_cast<size_t>(i)] = static_cast<float>(amplitude * std::sin(2 * M_PI * hz * i / 48000.0 + phase));
    return out;
}

// The next value in [-1, 1) of a 64-bit linear congruential generator.
inline double uniform(uint64_t& state) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<double>(state >> 11) / 9007199254740992.0 * 2 - 1;
}

// White noise, full scale.
inline std::vector<float> noise(int64_t frames, uint64_t seed) {
    std::vector<float> out(static_cast<size_t>(frames));
    for (auto& v : out) v = static_cast<float>(uniform(seed));
    return out;
}

} // namespace korvel::testsignals
