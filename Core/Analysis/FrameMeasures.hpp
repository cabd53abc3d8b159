#pragma once

#include <cstdint>
#include <span>

namespace korvel {

// Measures of one decoded 32-bit BGRA frame.
namespace FrameMeasures {
// The population variance of the 4-neighbour Laplacian of luma on a grid of
// every ⌊long edge / 480⌋-th pixel; 0 for grids under 3 by 3. Two passes, so
// it never comes out negative.
double sharpness(std::span<const uint8_t> bgra, int64_t width, int64_t height, int64_t bytesPerRow);
} // namespace FrameMeasures

// The contrast ramp that hardens a soft mask: up to 0.25 gives 0, from 0.6 on 1.
namespace MaskRamp {
inline constexpr double gain = 20.0 / 7.0;
inline constexpr double offset = -5.0 / 7.0;
double hardened(double value);
uint8_t hardened(uint8_t value);
} // namespace MaskRamp

} // namespace korvel
