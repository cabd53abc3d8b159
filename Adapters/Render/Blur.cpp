#include "Adapters/Render/Blur.hpp"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace korvel::Blur {

namespace {
void blurMat(cv::Mat& m, double sigma) {
    if (!(sigma > 0.3)) return;
    if (sigma <= 4) {
        cv::GaussianBlur(m, m, cv::Size(0, 0), sigma, sigma, cv::BORDER_REPLICATE);
        return;
    }
    // A wide Gaussian of a picture is smooth: blur a copy shrunk so that the
    // kernel stays near 4 pixels, and bring it back linearly.
    int factor = static_cast<int>(std::ceil(sigma / 4));
    cv::Size small(std::max(1, m.cols / factor), std::max(1, m.rows / factor));
    cv::Mat reduced;
    cv::resize(m, reduced, small, 0, 0, cv::INTER_AREA);
    double sx = sigma * small.width / m.cols, sy = sigma * small.height / m.rows;
    cv::GaussianBlur(reduced, reduced, cv::Size(0, 0), sx, sy, cv::BORDER_REPLICATE);
    cv::resize(reduced, m, m.size(), 0, 0, cv::INTER_LINEAR);
}

double bounded(double sigma, double limit) {
    if (!std::isfinite(sigma) || sigma < 0) return 0;
    return std::min(sigma, std::max(limit, 0.0));
}
} // namespace

RGBAImage gaussian(const RGBAImage& image, double sigma, double limit) {
    RGBAImage out = image;
    sigma = bounded(sigma, limit);
    if (out.empty() || sigma <= 0) return out;
    cv::Mat m(out.height, out.width, CV_32FC4, out.pixels.data());
    blurMat(m, sigma);
    return out;
}

std::vector<float> gaussian(const std::vector<float>& plane, int width, int height, double sigma, double limit) {
    std::vector<float> out = plane;
    sigma = bounded(sigma, limit);
    if (width <= 0 || height <= 0 || sigma <= 0) return out;
    cv::Mat m(height, width, CV_32FC1, out.data());
    blurMat(m, sigma);
    return out;
}

RGBAImage eroded(const RGBAImage& image, double radius) {
    RGBAImage out = image;
    if (out.empty() || !(radius >= 0.5)) return out;
    int r = static_cast<int>(std::lround(std::min(radius, 256.0)));
    cv::Mat kernel = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * r + 1, 2 * r + 1));
    cv::Mat m(out.height, out.width, CV_32FC4, out.pixels.data());
    cv::erode(m, m, kernel, cv::Point(-1, -1), 1, cv::BORDER_REPLICATE);
    return out;
}

} // namespace korvel::Blur
