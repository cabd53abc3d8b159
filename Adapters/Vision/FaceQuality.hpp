#pragma once

#include "Core/Analysis/FaceTracker.hpp"

#include <opencv2/core.hpp>

#include <optional>

namespace korvel {

// How well a face is captured, 0..1: the detector's confidence times
// (1 − BRISQUE / 100) of the face crop. Only its ranking means something.
namespace FaceQuality {
// The upright BGRA picture and one of its faces; nothing for an empty crop.
std::optional<double> of(const cv::Mat& upright, const DetectedFace& face);
} // namespace FaceQuality

} // namespace korvel
