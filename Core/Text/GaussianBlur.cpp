#include "Core/Text/GaussianBlur.hpp"

#include <algorithm>
#include <cmath>

namespace korvel {

namespace {

// One pass along a line of `n` samples `step` floats apart, per channel.
void boxLine(const float* in, float* out, int n, size_t step, int channels, int radius) {
    const float scale = 1.0f / static_cast<float>(2 * radius + 1);
    for (int c = 0; c < channels; ++c) {
        double sum = 0;
        for (int i = 0; i <= std::min(radius, n - 1); ++i) sum += in[static_cast<size_t>(i) * step + c];
        for (int i = 0; i < n; ++i) {
            out[static_cast<size_t>(i) * step + c] = static_cast<float>(sum) * scale;
            const int add = i + radius + 1, drop = i - radius;
            if (add < n) sum += in[static_cast<size_t>(add) * step + c];
            if (drop >= 0) sum -= in[static_cast<size_t>(drop) * step + c];
        }
    }
}

void kernelLine(const float* in, float* out, int n, size_t step, int channels, const std::vector<float>& k) {
    const int r = static_cast<int>(k.size()) - 1;
    for (int i = 0; i < n; ++i) {
        for (int c = 0; c < channels; ++c) {
            float sum = 0;
            for (int j = -r; j <= r; ++j) {
                const int at = i + j;
                if (at >= 0 && at < n) sum += k[static_cast<size_t>(std::abs(j))] * in[static_cast<size_t>(at) * step + c];
            }
            out[static_cast<size_t>(i) * step + c] = sum;
        }
    }
}

} // namespace

void gaussianBlur(std::vector<float>& pixels, int width, int height, int channels, double sigma) {
    if (!(sigma > 0.1) || width <= 0 || height <= 0) return;
    std::vector<float> tmp(pixels.size());
    const size_t rowFloats = static_cast<size_t>(width) * static_cast<size_t>(channels);
    const auto pass = [&](auto&& lineFn) {
        for (int y = 0; y < height; ++y) {
            lineFn(pixels.data() + y * rowFloats, tmp.data() + y * rowFloats, width, static_cast<size_t>(channels));
        }
        for (int x = 0; x < width; ++x) {
            lineFn(tmp.data() + static_cast<size_t>(x) * channels, pixels.data() + static_cast<size_t>(x) * channels,
                   height, rowFloats);
        }
    };
    if (sigma < 2) {
        const int r = static_cast<int>(std::ceil(3 * sigma));
        std::vector<float> k(static_cast<size_t>(r) + 1);
        double total = 0;
        for (int i = 0; i <= r; ++i) {
            k[static_cast<size_t>(i)] = static_cast<float>(std::exp(-0.5 * i * i / (sigma * sigma)));
            total += (i == 0 ? 1 : 2) * k[static_cast<size_t>(i)];
        }
        for (auto& v : k) v = static_cast<float>(v / total);
        pass([&](const float* in, float* out, int n, size_t step) { kernelLine(in, out, n, step, channels, k); });
        return;
    }
    // Box widths whose three passes have the Gaussian's variance.
    const double ideal = std::sqrt(12 * sigma * sigma / 3 + 1);
    int lower = static_cast<int>(std::floor(ideal));
    if (lower % 2 == 0) --lower;
    const int upper = lower + 2;
    const double m = std::round((12 * sigma * sigma - 3.0 * lower * lower - 12.0 * lower - 9) / (-4.0 * lower - 4));
    for (int i = 0; i < 3; ++i) {
        const int size = i < m ? lower : upper;
        const int radius = (size - 1) / 2;
        pass([&](const float* in, float* out, int n, size_t step) { boxLine(in, out, n, step, channels, radius); });
    }
}

} // namespace korvel
