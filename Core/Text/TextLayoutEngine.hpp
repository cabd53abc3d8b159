#pragma once

#include "Core/Picture/RenderSize.hpp"
#include "Core/Plan/TextItem.hpp"
#include "Core/Text/TextFont.hpp"
#include "Core/Text/TextLayout.hpp"

#include <memory>

namespace korvel {

// Lays one text item out in its box: shaped tokens broken into balanced
// rows, shrunk until the item fits (or down to 0.4), anchored by role.
// A plain value; the font source it uses is shared and locked.
class TextLayoutEngine {
public:
    TextLayoutEngine(RenderSize size, double unit, std::shared_ptr<TextFontSource> fonts)
        : size_(size), unit_(unit), fonts_(std::move(fonts)) {}

    // The fit search: 1.0, else 0.4, else eight halving steps between them.
    TextLayout layout(const TextItem& item) const;
    // One layout at one scale.
    TextLayout attempt(const TextItem& item, double scale) const;

    static constexpr double smallestScale = 0.4;
    // Sizes beyond this would drive glyph outlines and tiles past any canvas.
    static constexpr double largestFontPx = 16384;
    // Of all runs together. Layout grows with the text, so this keeps one
    // item near a second and a hundred megabytes; captions and titles are a
    // few hundred bytes.
    static constexpr size_t largestTextBytes = size_t{256} << 10;

private:
    struct VisualLine;
    std::vector<TextToken> tokens(const TextLine& line, size_t firstRun, const LineLook& look, double boxWidth) const;
    TextToken token(const std::string& text, size_t run, const LineLook& look) const;
    void refuseUnsafeSizes(const TextItem& item) const;

    RenderSize size_;
    double unit_ = 0;
    std::shared_ptr<TextFontSource> fonts_;
};

} // namespace korvel
