#pragma once

#include "Core/Wire/TextMethodTypes.hpp"
#include "Core/Text/ShapedText.hpp"
#include "Core/Text/TextFont.hpp"

#include <memory>
#include <string>
#include <vector>

namespace korvel {

// How one plan line is set.
struct LineLook {
    std::shared_ptr<const TextFont> font;
    double fontSize = 0;
    double lineHeight = 0;
    double kerning = 0; // pixels after every glyph
    bool uppercased = false;
};

// One shaped word, or one piece of a word of a script without spaces.
struct TextToken {
    std::string text;
    std::shared_ptr<const ShapedText> line;
    std::shared_ptr<const TextFont> font; // the font the line is set in
    double kerning = 0;                   // pixels after every glyph of this token
    size_t run = 0;                       // run index over all lines of the item
    double width = 0;                     // without the spacing after the last glyph
    bool writtenWithoutSpaces = false;
};

struct PlacedToken {
    TextToken token;
    double x = 0;        // left edge
    double baseline = 0; // from the canvas bottom, y up
    double ascent = 0;
    double descent = 0;
    double padding = 0;
    double lineHeight = 0;
};

// One visual row; y from the canvas top. x and width include the padding.
// The same record the text layout method answers with.
using TextRow = TextLayoutRow;

struct TextLayout {
    std::vector<PlacedToken> placed;
    std::vector<TextRow> rows;
    int64_t visualLines = 0;
    double scale = 1;
    double widestLinePx = 0;
    double heightPx = 0;
    double overflowPx = 0;
};

} // namespace korvel
