#pragma once

#include <opencv2/core.hpp>

namespace korvel {

// The person mask of an upright BGRA picture: the selfie segmentation model
// at 256 by 256, a soft mask (one byte a pixel, the person bright).
namespace PersonSegmenter {
inline constexpr int side = 256;
// Throws EngineFailure -32603 "Vision failed on a frame: " + the runtime's message.
cv::Mat mask(const cv::Mat& uprightBgra);
} // namespace PersonSegmenter

} // namespace korvel
