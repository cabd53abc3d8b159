#pragma once

#include "Core/Text/GlyphOutline.hpp"

#include <vector>

namespace korvel {

// Antialiased coverage of filled outlines over a pixel grid (y down), by
// exact signed area accumulation; overlapping contours of the same winding
// stay fully covered. Everything outside the grid is clipped, so a huge or
// far-off outline costs no more than the grid.
class CoverageMask {
public:
    CoverageMask(int width, int height);

    // The outline in ems at `scale` pixels per em, its origin at (x, y).
    void addOutline(const GlyphOutline& outline, double scale, double x, double y);
    // An axis-aligned rectangle [x0, x1) x [y0, y1).
    void addRect(double x0, double y0, double x1, double y1);
    bool touched() const { return touched_; }

    // width * height values in 0...1.
    std::vector<float> coverage() const;

private:
    void line(double x0, double y0, double x1, double y1);
    void clippedLine(double x0, double y0, double x1, double y1);

    int width_, height_, stride_;
    std::vector<float> acc_;
    bool touched_ = false;
};

} // namespace korvel
