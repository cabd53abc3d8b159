#pragma once

#include "Core/Picture/RGBAImage.hpp"

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
double kernel(double x);

} // namespace Lanczos

} // namespace korvel
