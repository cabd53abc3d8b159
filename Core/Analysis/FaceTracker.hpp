#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace korvel {

// A rectangle as fractions of the picture, origin at the top left, y down.
struct NormalizedBox {
    double x = 0, y = 0, w = 0, h = 0;

    double centerX() const { return x + w / 2; }
    double centerY() const { return y + h / 2; }
    // Cut to the unit square; never a negative width or height.
    NormalizedBox clamped() const;

    bool operator==(const NormalizedBox&) const = default;
};

struct DetectedFace {
    NormalizedBox box;
    double confidence = 0;
    bool operator==(const DetectedFace&) const = default;
};

struct FaceSample {
    int64_t atUs = 0;
    std::vector<DetectedFace> faces;
    bool operator==(const FaceSample&) const = default;
};

struct FaceTrackSample {
    int64_t atUs = 0;
    NormalizedBox box;
    bool detected = false;
    bool operator==(const FaceTrackSample&) const = default;
};

struct FaceTrackSpan {
    int64_t startUs = 0;
    int64_t endUs = 0;
    std::vector<FaceTrackSample> samples;
    bool operator==(const FaceTrackSpan&) const = default;
};

// One smooth track of the main face per scene: sticks to the face it follows,
// switches after a new face is seen three times in a row, smooths the centre
// with a One-Euro filter and holds the size until it changes by over 6%.
namespace FaceTracker {
inline constexpr double nearDistance = 0.2;
inline constexpr int sightingsToSwitch = 3;
inline constexpr double sizeChange = 0.06;
inline constexpr double derivativeCutoffHz = 1;
inline constexpr double minCutoffHz = 0.6;
inline constexpr double cutoffSlope = 12;

std::vector<FaceTrackSpan> tracks(std::span<const FaceSample> samples, int64_t durationUs, std::vector<int64_t> cutsUs);
std::optional<FaceTrackSpan> track(std::span<const FaceSample> samples, int64_t startUs, int64_t endUs);
} // namespace FaceTracker

} // namespace korvel
