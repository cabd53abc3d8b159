#pragma once

#include <cstddef>
#include <vector>

namespace korvel {

// The resampling loops of a drawing as vector code, chosen for the processor
// at run time like the other kernels.
namespace Kernels {

// dst[i] = sum of rows[k][i] x weights[k] over the `taps` rows, for `count`
// floats; the products are summed in tap order, as accumulate() sums them.
void weightedSum(float* dst, const float* const* rows, const float* weights, int taps, size_t count);
// Two such sums over overlapping rows, each row read once: `a` of rows
// [0, ta) by wa, `b` of rows [shift, shift + tb) by wb, where 0 <= shift < ta
// <= shift + tb; each as weightedSum() would give it.
void weightedSums(float* a, float* b, const float* const* rows, const float* wa, int ta, const float* wb, int shift, int tb,
                  size_t count);

// One row of RGBA pixels filtered along itself: output o is the sum over k of
// line pixel first[o] + k times weights[o x taps + k]. Where a tap falls off
// the line (of `width` pixels), the edge pixel stands in and zero weights are
// skipped.
void resampleRow(float* dst, const float* line, int width, const int* first, const float* weights, int taps, int count,
                 const float* grouped = nullptr);
// The weights of a row's outputs four at a time, tap by tap (outputs past the
// last weigh 0): with them resampleRow() filters four outputs in one vector
// where the processor's are wide enough, to the same values.
std::vector<float> groupedWeights(const float* weights, int taps, int count);

} // namespace Kernels
} // namespace korvel
