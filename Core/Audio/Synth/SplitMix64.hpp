#pragma once

#include <cstdint>

namespace korvel {

// The published SplitMix64 generator, read by index: the only random source
// of generated sound, so a seed gives the same samples on every run.
struct SplitMix64 {
    static constexpr uint64_t golden = 0x9E3779B97F4A7C15ull;

    uint64_t state = 0;

    static SplitMix64 seeded(int64_t seed) { return {static_cast<uint64_t>(seed) * golden}; }

    static constexpr uint64_t mix(uint64_t z) {
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    uint64_t output(uint64_t k) const { return mix(state + k * golden); }
    // White noise in [−1, 1) for sample n (from 0), which takes output n + 1.
    float white(int64_t n) const {
        return static_cast<float>(output(static_cast<uint64_t>(n) + 1) >> 40) * 0x1p-23f - 1.0f;
    }
    // Uniform in [0, 1) from output k.
    double uniform(uint64_t k) const { return static_cast<double>(output(k) >> 11) * 0x1p-53; }
};

} // namespace korvel
