#include "Adapters/Vision/UprightImage.hpp"

namespace korvel {

cv::Mat uprightImage(const VideoFrame& frame, int orientation) {
    cv::Mat stored(static_cast<int>(frame.height), static_cast<int>(frame.width), CV_8UC4,
                   const_cast<uint8_t*>(frame.bgra), static_cast<size_t>(frame.bytesPerRow));
    cv::Mat out;
    switch (orientation) {
    case 6: cv::rotate(stored, out, cv::ROTATE_90_CLOCKWISE); return out;
    case 8: cv::rotate(stored, out, cv::ROTATE_90_COUNTERCLOCKWISE); return out;
    case 3: cv::rotate(stored, out, cv::ROTATE_180); return out;
    case 2: cv::flip(stored, out, 1); return out;
    case 4: cv::flip(stored, out, 0); return out;
    case 5: cv::transpose(stored, out); return out;
    case 7:
        cv::transpose(stored, out);
        cv::flip(out, out, -1);
        return out;
    default: return stored;
    }
}

} // namespace korvel
