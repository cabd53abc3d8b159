#include "Core/Analysis/ChromaDetector.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace korvel {

namespace {
constexpr int64_t stride = 4;
constexpr double bandShare = 0.08;
constexpr float saturated = 0.15f;
constexpr double coveredShare = 0.85;
constexpr double lowestHue = 75, highestHue = 170;
constexpr double closeDegrees = 40;
constexpr float flatTexture = 0.05f;
constexpr size_t blockSide = 16;

struct HueSaturation {
    float hue = 0, saturation = 0;
};

HueSaturation colourOf(const uint8_t* p) {
    float r = p[0] / 255.0f, g = p[1] / 255.0f, b = p[2] / 255.0f;
    float mx = std::max({r, g, b}), mn = std::min({r, g, b});
    float chroma = mx - mn;
    if (!(mx > 0 && chroma > 0)) return {};
    float hue;
    if (mx == r) hue = 60 * (g - b) / chroma;
    else if (mx == g) hue = 60 * (b - r) / chroma + 120;
    else hue = 60 * (r - g) / chroma + 240;
    if (hue < 0) hue += 360;
    return {hue, chroma / mx};
}
} // namespace

void ChromaDetector::add(std::span<const uint8_t> rgba, int64_t width, int64_t height) {
    if (width <= 0 || height <= 0) return;
    if (height > INT64_MAX / 4 / width || static_cast<uint64_t>(width * height * 4) > rgba.size()) return;
    const int64_t bandRows = std::max<int64_t>(1, static_cast<int64_t>(std::floor(double(height) * bandShare)));
    const int64_t bandCols = std::max<int64_t>(1, static_cast<int64_t>(std::floor(double(width) * bandShare)));
    auto sample = [&](int64_t x, int64_t y) {
        HueSaturation c = colourOf(&rgba[size_t((y * width + x) * 4)]);
        hues.push_back(c.hue);
        saturations.push_back(c.saturation);
    };
    for (int64_t y = 0; y < bandRows && y < height; y += stride)
        for (int64_t x = 0; x < width; x += stride) sample(x, y);
    for (int64_t y = bandRows; y < height / 2; y += stride) {
        for (int64_t x = 0; x < bandCols; x += stride) sample(x, y);
        for (int64_t x = width - bandCols; x < width; x += stride) sample(x, y);
    }
    worstTexture = std::max(worstTexture, texture(rgba, width, std::min(bandRows, height)));
}

float ChromaDetector::texture(std::span<const uint8_t> rgba, int64_t width, int64_t bandY) {
    std::vector<int64_t> xs, ys;
    for (int64_t x = 0; x < width; x += stride) xs.push_back(x);
    for (int64_t y = 0; y < bandY; y += stride) ys.push_back(y);
    const size_t blockRows = ys.size() / blockSide, blockCols = xs.size() / blockSide;
    std::vector<float> figures;
    figures.reserve(blockRows * blockCols);
    for (size_t br = 0; br < blockRows; ++br) {
        for (size_t bc = 0; bc < blockCols; ++bc) {
            float values[blockSide * blockSide];
            size_t k = 0;
            float sum = 0;
            for (size_t i = 0; i < blockSide; ++i) {
                for (size_t j = 0; j < blockSide; ++j) {
                    const uint8_t* p = &rgba[size_t((ys[br * blockSide + i] * width + xs[bc * blockSide + j]) * 4)];
                    float v = std::max({p[0], p[1], p[2]}) / 255.0f;
                    values[k++] = v;
                    sum += v;
                }
            }
            float mean = sum / float(k), squares = 0;
            for (size_t i = 0; i < k; ++i) squares += (values[i] - mean) * (values[i] - mean);
            figures.push_back(std::sqrt(squares / float(k)));
        }
    }
    if (figures.empty()) return 0;
    std::sort(figures.begin(), figures.end());
    return figures[figures.size() / 2];
}

bool ChromaDetector::isGreenScreen() const {
    const size_t n = hues.size();
    if (n == 0) return false;
    double sinSum = 0, cosSum = 0;
    size_t saturatedCount = 0;
    for (size_t i = 0; i < n; ++i) {
        if (saturations[i] < saturated) continue;
        ++saturatedCount;
        double radians = double(hues[i]) * std::numbers::pi / 180;
        sinSum += std::sin(radians);
        cosSum += std::cos(radians);
    }
    if (double(saturatedCount) / double(n) < coveredShare) return false;
    double mean = std::atan2(sinSum / double(saturatedCount), cosSum / double(saturatedCount)) * 180 / std::numbers::pi;
    if (mean < 0) mean += 360;
    if (!(mean >= lowestHue && mean <= highestHue)) return false;
    size_t close = 0;
    for (size_t i = 0; i < n; ++i) {
        if (saturations[i] < saturated) continue;
        double d = std::fmod(std::abs(double(hues[i]) - mean), 360.0);
        if (d > 180) d = 360 - d;
        if (d <= closeDegrees) ++close;
    }
    return double(close) / double(n) >= coveredShare && worstTexture <= flatTexture;
}

} // namespace korvel
