#pragma once

#include <cstddef>
#include <cstdint>

namespace korvel {

// The frame converter's plane loops as vector code, chosen for the processor
// at run time like the other kernels. Each gives exactly what its scalar
// reference gives.
namespace ConvertKernels {

// The byte sums of `rows` rows of a plane, `stride` bytes apart, column by
// column for `count` columns; rows × 255 must hold in 16 bits.
void columnSums(const uint8_t* plane, ptrdiff_t stride, int rows, int count, uint16_t* sums);
void columnSumsReference(const uint8_t* plane, ptrdiff_t stride, int rows, int count, uint16_t* sums);

// What takes averaged Y'CbCr codes to R'G'B' codes.
struct Matrix {
    float yOffset = 0, yScale = 1, cScale = 1;
    float cbToB = 0, cbToG = 0, crToG = 0, crToR = 0;
};

// `count` pixels of averaged luma and chroma to opaque 8-bit BGRA, each
// value rounded half up and held to 0..255.
void bgra(const float* y, const float* u, const float* v, int count, const Matrix& m, uint8_t* out);
void bgraReference(const float* y, const float* u, const float* v, int count, const Matrix& m, uint8_t* out);

} // namespace ConvertKernels
} // namespace korvel
