#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace korvel {

// The 33-point colour cubes of the two named looks, red fastest, then
// green, then blue, four floats (RGBA) per entry.
namespace LookCube {

constexpr int dimension = 33;

struct Channels {
    float r = 0, g = 0, b = 0;
    bool operator==(const Channels&) const = default;
};

struct Recipe {
    float contrast = 0;
    float saturation = 0;
    Channels gains;
    Channels lift;
    bool operator==(const Recipe&) const = default;
};

struct Failure {
    enum class Kind { unknownLook };
    Kind kind = Kind::unknownLook;
    std::string look;
    bool operator==(const Failure&) const = default;
};

const std::map<std::string, Recipe>& recipes();
const std::vector<std::string>& names();

// Strength 0 is the identity cube, 1 the full look; others extrapolate.
// Throws Failure for a name that is not a look.
std::vector<float> values(const std::string& look, double strength);

} // namespace LookCube

struct GrainOffset {
    int64_t x = 0;
    int64_t y = 0;
    bool operator==(const GrainOffset&) const = default;
};

// Seeded film grain: one 512 x 512 noise tile per seed, 1080 cells across
// the canvas's long edge, shifted per source frame.
namespace GrainGrid {

constexpr int tileSize = 512;
constexpr double cellsOnLongEdge = 1080;

// 262,144 values in [-1, 1), rows in memory order.
std::vector<float> tile(int64_t seed);
GrainOffset offset(int64_t seed, int64_t sourceUs);
inline double cellSize(int64_t renderLongEdge) { return static_cast<double>(renderLongEdge) / cellsOnLongEdge; }

// The tile's byte for a value, as the tile image stores it.
uint8_t byteOf(float value);

} // namespace GrainGrid

// The published SplitMix64 generator: output n (from 1) of a state.
namespace SplitMix64 {
constexpr uint64_t golden = 0x9E3779B97F4A7C15ULL;
inline uint64_t mix(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}
inline uint64_t output(uint64_t state, uint64_t n) { return mix(state + n * golden); }
} // namespace SplitMix64

} // namespace korvel
