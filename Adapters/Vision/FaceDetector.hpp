#pragma once

#include "Adapters/Vision/OpenedVideo.hpp"
#include "Core/Analysis/FaceTracker.hpp"

#include <vector>

namespace korvel {

// Face rectangles of one picture: the full-range BlazeFace detector on the
// upright picture, boxes normalised to it, weighted non-maximum suppression.
namespace FaceDetector {
inline constexpr int inputSide = 192;
inline constexpr int grid = 48;
inline constexpr float lowestScore = 0.6f;
inline constexpr float overlapToMerge = 0.3f;

// The frame as stored; `orientation` turns it upright. Throws EngineFailure
// -32603 when the model can't be loaded or run.
std::vector<DetectedFace> detect(const VideoFrame& frame, int orientation);
} // namespace FaceDetector

} // namespace korvel
