#pragma once

#include "Core/Plan/TextItem.hpp"

#include <optional>

namespace korvel {

// One colour of a text item: ITU-R 709 encoded, not premultiplied.
struct PaletteColor {
    double r = 0, g = 0, b = 0, a = 1;
    bool operator==(const PaletteColor&) const = default;
};

// The colours of one item. Building it checks every colour string of the
// item, in the order text, shadow, highlight background, highlight text.
struct Palette {
    PaletteColor text;
    std::optional<PaletteColor> shadow; // at the shadow's opacity
    PaletteColor highlightBackground;
    PaletteColor highlightText;

    Palette(const TextItem& item, const TextHighlight& defaultHighlight);
};

} // namespace korvel
