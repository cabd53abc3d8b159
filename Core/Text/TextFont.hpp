#pragma once

#include "Core/Plan/TextStyle.hpp"
#include "Core/Text/ShapedText.hpp"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvel {

// Suggests where the lines of one text end. The text is analysed when the
// typesetter is made, so each suggestion costs about the length of its line.
class TextTypesetter {
public:
    virtual ~TextTypesetter() = default;
    // Where a line from byte `start` should end to be at most `maxWidth`
    // pixels wide: at a line break opportunity when one fits, else after as
    // many grapheme clusters as fit, and never before the first whole cluster.
    virtual size_t suggestLineBreak(size_t start, double maxWidth) const = 0;
};

// A font at one size with its fallback cascade, as the layout sees it.
// Shaping fails with -32002 when no face of the cascade has a glyph, and
// with -32603 when the shaping result cannot be read.
class TextFont {
public:
    virtual ~TextFont() = default;

    virtual double size() const = 0;
    // Of the font's own face, in pixels at its size; descent is positive.
    virtual double ascent() const = 0;
    virtual double descent() const = 0;
    // The advance of U+0020 in pixels, or none when the face has no space.
    virtual std::optional<double> spaceAdvance() const = 0;
    virtual std::shared_ptr<const ShapedText> shape(std::string_view text) const = 0;
    // PostScript name and weight of a face of the cascade.
    virtual std::string faceName(uint32_t face) const = 0;
    virtual double faceWeight(uint32_t face) const = 0;
    // `text` shaped and segmented once as a whole, with `kerning` pixels
    // after every glyph, ready to be broken into lines.
    virtual std::unique_ptr<TextTypesetter> typesetter(std::string_view text, double kerning) const = 0;
};

// Hands out fonts by family, weight, slant, size and cascade languages.
class TextFontSource {
public:
    virtual ~TextFontSource() = default;
    virtual std::shared_ptr<const TextFont> font(FontFamily family, int64_t weight, bool italic, double size,
                                                 const std::vector<std::string>& languages) = 0;
};

} // namespace korvel
