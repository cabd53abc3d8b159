#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace korvel {

// A text shaped once in ems of the font size, so that every size of one
// font reuses it: glyphs in visual order, each from one face of the font's
// cascade. Letter spacing is not in it; it is added after every glyph.
struct ShapedText {
    struct Glyph {
        uint32_t face = 0;    // index into the font's cascade
        uint32_t id = 0;      // glyph id in that face
        uint32_t cluster = 0; // byte offset of its cluster in the text
        double x = 0;         // offset from the pen, in ems
        double y = 0;
        double advance = 0;   // in ems
    };
    struct Run {
        uint32_t face = 0;
        size_t first = 0; // glyphs [first, first + count)
        size_t count = 0;
    };

    std::vector<Glyph> glyphs;
    std::vector<Run> runs; // glyph runs in visual order
    double advance = 0;    // sum of the glyph advances, in ems
};

} // namespace korvel
