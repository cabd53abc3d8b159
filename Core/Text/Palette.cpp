#include "Core/Text/Palette.hpp"

#include "Core/Text/HexColor.hpp"

#include <algorithm>
#include <cmath>

namespace korvel {

namespace {
PaletteColor color(const std::string& hex, double opacity) {
    const auto rgb = HexColor::components(hex);
    // An opacity past 0...1 would corrupt premultiplied pixels.
    const double a = std::isfinite(opacity) ? std::clamp(opacity, 0.0, 1.0) : 0.0;
    return {rgb[0], rgb[1], rgb[2], a};
}
} // namespace

Palette::Palette(const TextItem& item, const TextHighlight& defaultHighlight) {
    text = color(item.style.color, 1);
    if (item.style.shadow) shadow = color(item.style.shadow->color, item.style.shadow->opacity);
    const TextHighlight& h = item.highlight ? *item.highlight : defaultHighlight;
    highlightBackground = color(h.background, 1);
    highlightText = color(h.color, 1);
}

} // namespace korvel
