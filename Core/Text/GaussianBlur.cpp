#include "Core/Text/GaussianBlur.hpp"

#include <algorithm>
#include <cmath>

namespace korvel {

namespace {

// Box passes along rows and along columns, every channel at once and in
// memory order, with running sums.
template <class V> void boxRows(V& px, V& tmp, int width, int height, int ch, int radius) {
    const float scale = 1.0f / static_cast<float>(2 * radius + 1);
    std::vector<float> sum(static_cast<size_t>(ch));
    for (int y = 0; y < height; ++y) {
        const float* in = px.data() + static_cast<size_t>(y) * width * ch;
        float* out = tmp.data() + static_cast<size_t>(y) * width * ch;
        std::fill(sum.begin(), sum.end(), 0.0f);
        for (int i = 0; i <= std::min(radius, width - 1); ++i) {
            for (int c = 0; c < ch; ++c) sum[c] += in[i * ch + c];
        }
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < ch; ++c) out[x * ch + c] = sum[c] * scale;
            const int add = x + radius + 1, drop = x - radius;
            if (add < width) {
                for (int c = 0; c < ch; ++c) sum[c] += in[add * ch + c];
            }
            if (drop >= 0) {
                for (int c = 0; c < ch; ++c) sum[c] -= in[drop * ch + c];
            }
        }
    }
    px.swap(tmp);
}

template <class V> void boxColumns(V& px, V& tmp, int width, int height, int ch, int radius) {
    const float scale = 1.0f / static_cast<float>(2 * radius + 1);
    const size_t row = static_cast<size_t>(width) * ch;
    std::vector<float> sum(row, 0.0f);
    for (int i = 0; i <= std::min(radius, height - 1); ++i) {
        const float* in = px.data() + i * row;
        for (size_t k = 0; k < row; ++k) sum[k] += in[k];
    }
    for (int y = 0; y < height; ++y) {
        float* out = tmp.data() + y * row;
        for (size_t k = 0; k < row; ++k) out[k] = sum[k] * scale;
        const int add = y + radius + 1, drop = y - radius;
        if (add < height) {
            const float* in = px.data() + add * row;
            for (size_t k = 0; k < row; ++k) sum[k] += in[k];
        }
        if (drop >= 0) {
            const float* in = px.data() + drop * row;
            for (size_t k = 0; k < row; ++k) sum[k] -= in[k];
        }
    }
    px.swap(tmp);
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

// The passes swap the picture with a scratch of its own kind.
template <class V> void blurred(V& pixels, int width, int height, int channels, double sigma) {
    if (!(sigma > 0.1) || width <= 0 || height <= 0) return;
    V tmp(pixels.size());
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
        const int radius = ((i < m ? lower : upper) - 1) / 2;
        boxRows(pixels, tmp, width, height, channels, radius);
        boxColumns(pixels, tmp, width, height, channels, radius);
    }
}

} // namespace

void gaussianBlur(std::vector<float>& pixels, int width, int height, int channels, double sigma) {
    blurred(pixels, width, height, channels, sigma);
}

void gaussianBlur(FrameBuffers::Floats& pixels, int width, int height, int channels, double sigma) {
    blurred(pixels, width, height, channels, sigma);
}

} // namespace korvel
