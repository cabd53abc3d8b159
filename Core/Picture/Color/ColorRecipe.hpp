#pragma once

#include "Core/Wire/ExportMethodTypes.hpp"

#include <map>
#include <string>

namespace korvel {

// The encoded colour spaces the compositor works in besides its linear
// working space. Both share BT.709 primaries in the working space; they
// differ in the transfer function that encodes values for grading.
enum class ColorSpace { itur709, itur2100HLG };

// The colour frame of one render: standard range, or HLG carried through.
struct ColorRecipe {
    DynamicRange dynamicRange = DynamicRange::sdr;

    bool operator==(const ColorRecipe&) const = default;

    // Text layers, background fills and the despill cube are drawn in it
    // whatever the dynamic range.
    static constexpr ColorSpace gradingSpace = ColorSpace::itur709;
    // Looks, gains and grain act on values encoded in this space.
    ColorSpace gammaSpace() const { return dynamicRange == DynamicRange::keepHdr ? ColorSpace::itur2100HLG : gradingSpace; }

    // The writer's tags, as format-description constants.
    std::string primaries() const;
    std::string transfer() const;
    std::string matrix() const;
    std::map<std::string, std::string> writerColorProperties() const;
};

} // namespace korvel
