#pragma once

#include <cstddef>

namespace korvel {

// The loops of a symmetric filter (the Gaussian's) as vector code, chosen for
// the processor at run time like the other kernels. Each gives exactly what
// its scalar reference gives: products and sums round one by one, in the
// order written.
namespace Kernels {

// dst[i] = taps[0] x src[i] + the sum over j = 1..radius of
// taps[j] x (src[i - j x step] + src[i + j x step]), for `count` floats; src
// is readable radius x step floats either side.
void symmetricRow(float* dst, const float* src, size_t count, size_t step, const float* taps, int radius);
void symmetricRowReference(float* dst, const float* src, size_t count, size_t step, const float* taps, int radius);

// The same down a column of rows: rows[radius] is the middle row, rows[radius -
// j] and rows[radius + j] the rows j above and below it.
void symmetricColumns(float* dst, const float* const* rows, size_t count, const float* taps, int radius);
void symmetricColumnsReference(float* dst, const float* const* rows, size_t count, const float* taps, int radius);

} // namespace Kernels
} // namespace korvel
