#include "Adapters/Vision/MaskCompositing.hpp"

#include "Core/Analysis/FrameMeasures.hpp"

#include <opencv2/imgproc.hpp>
#include <opencv2/ximgproc/edge_filter.hpp>

#include <algorithm>
#include <cmath>

namespace korvel::MaskCompositing {

namespace {

cv::Mat scaled(const cv::Mat& m, cv::Size size) {
    if (m.size() == size) return m;
    cv::Mat out;
    cv::resize(m, out, size, 0, 0, cv::INTER_LINEAR);
    return out;
}

// Erosion or dilation of a two-valued mask by a disc, through the distance
// to the nearest pixel of the other value: linear in the picture, whatever
// the radius.
cv::Mat morphed(const cv::Mat& binary, int op, int radius) {
    if (radius <= 0) return binary;
    cv::Mat from = op == cv::MORPH_DILATE ? 255 - binary : binary;
    cv::Mat distance;
    cv::distanceTransform(from, distance, cv::DIST_L2, cv::DIST_MASK_5);
    cv::Mat far = distance > float(radius);
    return op == cv::MORPH_DILATE ? 255 - far : far;
}

cv::Mat thresholded(const cv::Mat& m) {
    cv::Mat out;
    cv::threshold(m, out, 127, 255, cv::THRESH_BINARY);
    return out;
}

// The foreground mask upsampled along the guide's edges.
cv::Mat guided(const cv::Mat& mask, const cv::Mat& guide, cv::Size size) {
    cv::Mat grey;
    cv::cvtColor(scaled(guide, size), grey, cv::COLOR_BGRA2GRAY);
    cv::Mat half = scaled(mask, cv::Size(std::max(1, size.width / 2), std::max(1, size.height / 2)));
    cv::Mat full = scaled(half, size);
    cv::Mat out;
    const int radius = std::max(2, static_cast<int>(std::lround(6.0 * size.width / 1080)));
    cv::ximgproc::guidedFilter(grey, full, out, radius, 0.05 * 0.05 * 255 * 255);
    return out;
}

cv::Mat hardened(const cv::Mat& m) {
    cv::Mat lut(1, 256, CV_8U);
    for (int v = 0; v < 256; ++v) lut.at<uint8_t>(v) = MaskRamp::hardened(static_cast<uint8_t>(v));
    cv::Mat out;
    cv::LUT(m, lut, out);
    return out;
}

} // namespace

Radii radii(int width) {
    const double k = width / 1080.0 * 0.5;
    return {static_cast<int>(std::lround(12 * k)), static_cast<int>(std::lround(10 * k)), static_cast<int>(std::lround(40 * k))};
}

cv::Mat combine(const FrameMasks& masks, const cv::Mat& guide, Method method, cv::Size size) {
    if (masks.foreground.empty()) return cv::Mat(size, CV_8U, cv::Scalar(0));
    if (method == Method::foreground || masks.accurate.empty()) return scaled(masks.foreground, size).clone();
    const cv::Size half(std::max(1, size.width / 2), std::max(1, size.height / 2));
    const Radii r = radii(size.width);
    const cv::Mat fb = thresholded(scaled(masks.foreground, half));
    const cv::Mat inner = scaled(morphed(fb, cv::MORPH_ERODE, r.inner), size);
    const cv::Mat outer = scaled(morphed(fb, cv::MORPH_DILATE, r.outer), size);
    const cv::Mat accurate = scaled(masks.accurate, size);
    const cv::Mat zone = scaled(morphed(thresholded(scaled(masks.accurate, half)), cv::MORPH_DILATE, r.zone), size);
    // Inside the widened person zone the person mask counts, outside it the
    // edge-guided foreground.
    cv::Mat blended = guided(masks.foreground, guide, size);
    accurate.copyTo(blended, zone > 127);
    cv::Mat limited = cv::min(blended, outer);
    return cv::max(hardened(limited), inner);
}

std::optional<cv::Size> chromaSampleSize(cv::Size guide) {
    constexpr double widest = 1080, tallest = 1920;
    if (guide.width <= 0 || guide.height <= 0) return std::nullopt;
    const double scale = std::min(widest / guide.width, tallest / guide.height);
    const long w = std::max(1L, std::lround(scale * guide.width));
    const long h = std::max(1L, std::lround(scale * guide.height));
    return cv::Size(static_cast<int>(w), static_cast<int>(h));
}

std::vector<uint8_t> sampled(const cv::Mat& mask, int64_t width, int64_t height) {
    std::vector<uint8_t> out;
    if (mask.empty() || mask.type() != CV_8U || width <= 0 || height <= 0) return out;
    const int64_t bw = mask.cols, bh = mask.rows;
    const int64_t cols = width / 4, rows = height / 4;
    out.reserve(size_t(cols * rows));
    for (int64_t i = 0; i < rows; ++i) {
        const uint8_t* row = mask.ptr<uint8_t>(static_cast<int>(std::min(i * 4 * bh / height, bh - 1)));
        for (int64_t j = 0; j < cols; ++j) out.push_back(row[std::min(j * 4 * bw / width, bw - 1)]);
    }
    return out;
}

} // namespace korvel::MaskCompositing
