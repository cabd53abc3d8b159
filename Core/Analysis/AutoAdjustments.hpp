#pragma once

#include "Core/Analysis/FaceTracker.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace korvel {

// Proposes inputs for the four filters the compositor applies (face balance,
// vibrance, tone curve, highlight and shadow) that give a frame a balanced
// picture: a tone curve that spreads a dull range, vibrance for a flat
// picture, shadow lift and highlight recovery for crushed ends, and a face
// balance from the skin of the given faces. Only filters that would change
// the picture are proposed.
namespace AutoAdjustments {
struct Input {
    std::string key;
    std::vector<double> values;
    bool isVector = false; // a vector input, even of one component
    bool operator==(const Input&) const = default;
};

struct Filter {
    std::string name;
    std::vector<Input> inputs;
    bool operator==(const Filter&) const = default;
};

inline constexpr double spreadWanted = 0.85;
inline constexpr double flatSaturation = 0.2;
inline constexpr double crushedShare = 0.2;

std::vector<Filter> propose(std::span<const uint8_t> bgra, int64_t width, int64_t height, int64_t bytesPerRow,
                            std::span<const NormalizedBox> faces = {});
} // namespace AutoAdjustments

} // namespace korvel
