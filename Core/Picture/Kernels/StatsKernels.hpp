#pragma once

#include <cstdint>

namespace korvel {

// The per-pixel loops of the colour statistics as vector code, compiled for
// several instruction sets and chosen for the processor at run time. Each
// gives exactly what its scalar reference gives.
namespace StatsKernels {

// One row of `count` 8-bit BGRA pixels: its blue, green and red sums added
// to `sums`, in that order.
void channelSums(const uint8_t* bgra, int count, uint64_t sums[3]);
void channelSumsReference(const uint8_t* bgra, int count, uint64_t sums[3]);

// One row's BT.709 luma, 0.2126 r + 0.7152 g + 0.0722 b in doubles added in
// that order, and that luma rounded halves away from zero and held to 0..255.
void luma(const uint8_t* bgra, int count, double* luma, int32_t* rounded);
void lumaReference(const uint8_t* bgra, int count, double* luma, int32_t* rounded);

} // namespace StatsKernels
} // namespace korvel
