#pragma once

#include "Core/Picture/RGBAImage.hpp"

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

namespace korvel {

// Lanczos-3 resampling for shrinking: the kernel's support is widened by
// 1 / scale so that a smaller picture does not alias. The picture is drawn
// at scale s and moved by (tx, ty) (canvas = s x source + t, y down) into
// the rows [from, to) of `out`. With `clampEdges` edge pixels repeat
// outward; without, the picture is transparent beyond its extent.
namespace Lanczos {

// The taps of every output column and row of one drawing, computed once and
// shared by all of its bands.
struct Plan {
    struct Axis {
        int taps = 0;
        std::vector<int> first;     // first source index of each output
        std::vector<float> weights; // taps per output
        std::vector<float> grouped; // the same, as Kernels::groupedWeights lays them out
    };
    Axis columns, rows;
    bool clampEdges = true;
};

Plan plan(const RGBAImage& source, double scale, double tx, double ty, bool clampEdges, const RGBAImage& out);
// Each axis at its own scale; an axis that is enlarged is sampled linearly.
Plan plan(const RGBAImage& source, double scaleX, double scaleY, double tx, double ty, bool clampEdges,
          const RGBAImage& out);
void draw(const Plan& plan, const RGBAImage& source, RGBAImage& out, int from, int to);

// A source picture's rows wherever they are held: row r, counted from the
// picture's top, at `base` plus r - `first` rows. Only the rows a drawing
// reads need to be there.
struct Rows {
    const float* base = nullptr;
    int first = 0;
    int width = 0;
    int height = 0;
    bool empty() const { return width <= 0 || height <= 0; }
    const float* row(int r) const { return base + static_cast<size_t>(r - first) * static_cast<size_t>(width) * 4; }
};
// The first and last source rows that drawing the rows [from, to) of `out`
// reads; nothing when it reads none.
std::optional<std::pair<int, int>> rowsRead(const Plan& plan, int sourceHeight, const RGBAImage& out, int from, int to);
void draw(const Plan& plan, const Rows& source, RGBAImage& out, int from, int to);
double kernel(double x);

} // namespace Lanczos

} // namespace korvel
