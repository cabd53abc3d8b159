#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <optional>
#include <vector>

namespace korvel {

// Turns a frame's raw masks into its mask frame: scaling, edge-guided
// upsampling, thresholds, erosion and dilation and a contrast ramp.
namespace MaskCompositing {
enum class Method { hybrid, foreground };

struct FrameMasks {
    cv::Mat accurate;   // the person mask, 8-bit; empty when absent
    cv::Mat foreground; // the foreground mask, 8-bit; empty when absent
};

// The mask frame (8-bit, `size`) from the raw masks and the upright guide
// picture (BGRA).
cv::Mat combine(const FrameMasks& masks, const cv::Mat& guide, Method method, cv::Size size);

// Half-size radii of the hybrid's erosion, dilation and person zone for a
// picture `width` wide.
struct Radii {
    int inner, outer, zone;
};
Radii radii(int width);

// The size of the green-screen sample of a guide picture: 1080 wide at the
// picture's aspect, the size of a full HD frame's border; a picture taller
// than 1080 by 1920 is fitted into that instead, so a tall narrow video is
// still sampled without making a huge buffer. Each side is at least 1;
// nothing for a guide without area.
std::optional<cv::Size> chromaSampleSize(cv::Size guide);

// A grid of (width / 4) by (height / 4) bytes of the mask, for a picture of
// that size; empty when any size is zero or less.
std::vector<uint8_t> sampled(const cv::Mat& mask, int64_t width, int64_t height);
} // namespace MaskCompositing

} // namespace korvel
