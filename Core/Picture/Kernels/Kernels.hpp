#pragma once

#include "Core/Picture/Color/ColorRecipe.hpp"

#include <cstddef>

namespace korvel {

// The per-pixel loops of a frame as vector code, compiled for several
// instruction sets and chosen for the processor at run time. Each computes
// what its scalar reference (the step or curve it stands for) computes.
namespace Kernels {

// Premultiplied linear RGBA to straight values in the space's gamma, and back.
void toGamma(float* rgba, int count, ColorSpace space);
void fromGamma(float* rgba, int count, ColorSpace space);
// NaN and infinities become 0.
void sanitise(float* values, size_t count);
// `src` over `dst`, premultiplied, pixel for pixel.
void over(float* dst, const float* src, int count);

// One row of grain: the two tile rows it lies between, and the blend's
// constants. Pixel k of the span lies on tile column
// (x + k) x step - shift - 0.5, `x` the first pixel's centre.
struct GrainRow {
    const float* lower = nullptr;
    const float* upper = nullptr;
    double x = 0.5;
    double step = 1;
    double shift = 0;
    float dv = 0;
    float amplitude = 0;
    float grey = 0;
};
void grain(float* rgba, int count, const GrainRow& row);
// grain(), then fromGamma(), in one pass.
void grainFromGamma(float* rgba, int count, const GrainRow& row, ColorSpace space);

// A colour cube of `dimension` points a side (red fastest, RGBA entries)
// looked up trilinearly on values clamped to [0, 1]; alpha is kept.
void cube(float* rgba, int count, const float* cube, int dimension);

// dst = src x weight when `first`, else dst += src x weight.
void accumulate(float* dst, const float* src, float weight, size_t count, bool first);

// The scalar references instead of the kernels, for comparing the two.
void useReferences(bool on);
bool references();

} // namespace Kernels
} // namespace korvel
