#pragma once

#include "Adapters/Vision/OpenedVideo.hpp"

#include <opencv2/core.hpp>

namespace korvel {

// The frame as an OpenCV BGRA image turned upright for an orientation code
// (2 to 8 turn or mirror; others are as stored). Shares the pixels when upright.
cv::Mat uprightImage(const VideoFrame& frame, int orientation);

} // namespace korvel
