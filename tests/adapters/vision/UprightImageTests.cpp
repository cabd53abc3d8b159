#include "Adapters/Vision/UprightImage.hpp"
#include "Core/Picture/Orientation.hpp"

#include <gtest/gtest.h>

#include <vector>

using namespace korvel;

// Detectors look at the picture the compositor draws: every pixel where
// Orientation puts it, mirrors included.
TEST(UprightImage, DetectorsSeeThePictureTheCompositorShows) {
    const int w = 3, h = 2;
    std::vector<uint8_t> bgra(w * h * 4);
    for (int i = 0; i < w * h; ++i) bgra[static_cast<size_t>(i) * 4] = static_cast<uint8_t>(i);
    VideoFrame frame{w, h, bgra.data(), w * 4};
    for (int code = 1; code <= 8; ++code) {
        cv::Mat upright = uprightImage(frame, code);
        const bool swapped = Orientation::swapsSides(code);
        ASSERT_EQ(upright.cols, swapped ? h : w) << code;
        ASSERT_EQ(upright.rows, swapped ? w : h) << code;
        for (int y = 0; y < upright.rows; ++y)
            for (int x = 0; x < upright.cols; ++x) {
                Orientation::Pixel s = Orientation::storedPixel(code, w, h, x, y);
                EXPECT_EQ(upright.at<cv::Vec4b>(y, x)[0], s.y * w + s.x) << code << " at " << x << "," << y;
            }
    }
}
