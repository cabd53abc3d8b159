#pragma once

#include "Core/Analysis/SceneDetector.hpp"

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace korvel {

// The 16 by 9 grid of a take's luma layout, row by row from the top left.
namespace ColorLayout {
inline constexpr int columns = 16;
inline constexpr int rows = 9;
inline constexpr int cells = columns * rows;
} // namespace ColorLayout

// Colour steps: exposure or white-balance changes inside a scene, found from
// the frame-to-frame shift of a small picture.
namespace ColorStepDetector {
inline constexpr double stepShift = 0.012;
inline constexpr int64_t spacingUs = 250'000;

// The largest of the three channels' absolute median differences, over 255.
// Frames are packed 3-byte pixels.
double medianShift(std::span<const uint8_t> previous, std::span<const uint8_t> current);
std::vector<int64_t> steps(std::span<const double> shifts, std::span<const int64_t> framePtsUs, int64_t durationUs);
// Scenes cut at the steps that lie inside them, 250 ms from either end.
std::vector<SceneSpan> takes(std::span<const SceneSpan> scenes, std::span<const int64_t> steps);
} // namespace ColorStepDetector

namespace ColorTakeSummary {
// The upper median of every name measured in more than half of the samples.
std::map<std::string, double> medians(const std::map<std::string, std::vector<double>>& values, int64_t samples);
} // namespace ColorTakeSummary

} // namespace korvel
