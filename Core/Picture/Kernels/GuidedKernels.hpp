#pragma once

namespace korvel {

// The row loops of the guided upsample as vector code, compiled for several
// instruction sets and chosen for the processor at run time. Each has its
// scalar reference beside it.
namespace GuidedKernels {

// The filter's inputs along a row: the guide (luma of the RGBA `picture`),
// the mask `dv` of the way from `top` to `bottom` (two mask rows already
// brought to the row's columns), and the products the model needs.
void inputs(float* guide, float* p, float* ip, float* ii, const float* picture, const float* top, const float* bottom,
            float dv, int count);
void inputsReference(float* guide, float* p, float* ip, float* ii, const float* picture, const float* top,
                     const float* bottom, float dv, int count);

// Column sums slid down a row: in double, so that window sums stay exact.
void add(double* sums, const float* row, int count);
void addReference(double* sums, const float* row, int count);
void subtract(double* sums, const float* row, int count);
void subtractReference(double* sums, const float* row, int count);

// Window means from running totals: (high - low) / n.
void means(float* out, const double* high, const double* low, double n, int count);
void meansReference(float* out, const double* high, const double* low, double n, int count);

// The local linear model a x guide + b of the mask from the window means.
void model(float* a, float* b, const float* meanI, const float* meanP, const float* meanIP, const float* meanII,
           float epsilon, int count);
void modelReference(float* a, float* b, const float* meanI, const float* meanP, const float* meanIP,
                    const float* meanII, float epsilon, int count);

// The refined mask as RGBA (grey, opaque): the mean model at the guide,
// held to [0, 1].
void refined(float* out, const float* meanA, const float* meanB, const float* guide, int count);
void refinedReference(float* out, const float* meanA, const float* meanB, const float* guide, int count);

} // namespace GuidedKernels
} // namespace korvel
