#pragma once

#include <cstdint>
#include <vector>

namespace korvel {

// A glyph's outline in ems, y up: closed contours of lines and quadratic and
// cubic curves. Curves are flattened only when drawn, at the drawn size.
struct GlyphOutline {
    enum class Op : uint8_t { move, line, quad, cubic, close };
    std::vector<Op> ops;
    std::vector<double> points; // x, y pairs: 1 per move/line, 2 per quad, 3 per cubic
    double minX = 0, minY = 0, maxX = 0, maxY = 0;
    bool empty() const { return ops.empty(); }
};

// A colour glyph's picture: straight RGBA bytes, row 0 at the top, to be
// stretched over its box in ems (y up).
struct GlyphImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgba;
    double left = 0, bottom = 0, right = 0, top = 0;
};

} // namespace korvel
