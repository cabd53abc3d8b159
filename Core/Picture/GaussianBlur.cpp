#include "Core/Picture/GaussianBlur.hpp"

#include "Core/Picture/FrameBuffers.hpp"
#include "Core/Picture/Kernels/BlurKernels.hpp"

#include <algorithm>
#include <cmath>

namespace korvel::GaussianBlur {

namespace {
// Floats of a column strip: the rows a column pass reads stay in cache from
// one output row to the next.
constexpr size_t stripFloats = 512;

int radiusOf(const std::vector<float>& taps) { return static_cast<int>(taps.size()) - 1; }
} // namespace

std::vector<float> taps(double sigma) {
    if (!std::isfinite(sigma) || sigma <= 0) return {1.0f};
    // OpenCV's size for float pictures, rounded as cvRound rounds.
    const long size = std::lrint(std::min(sigma, 1e6) * 8 + 1) | 1;
    const int radius = static_cast<int>(size / 2);
    std::vector<double> exact(static_cast<size_t>(radius) + 1);
    double total = 0;
    for (int j = 0; j <= radius; ++j) {
        exact[static_cast<size_t>(j)] = std::exp(-0.5 * j * j / (sigma * sigma));
        total += (j == 0 ? 1 : 2) * exact[static_cast<size_t>(j)];
    }
    std::vector<float> out(exact.size());
    for (size_t j = 0; j < exact.size(); ++j) out[j] = static_cast<float>(exact[j] / total);
    return out;
}

Plan plan(int width, int height, int channels, double sigmaX, double sigmaY, BlurEdge edge) {
    return {std::max(width, 0), std::max(height, 0), std::max(channels, 0), taps(sigmaX), taps(sigmaY), edge};
}

void alongRows(const Plan& plan, const float* in, float* out, int from, int to) {
    const size_t ch = static_cast<size_t>(plan.channels), rowFloats = static_cast<size_t>(plan.width) * ch;
    const int r = radiusOf(plan.across);
    if (rowFloats == 0 || from >= to) return;
    const size_t pad = static_cast<size_t>(r) * ch;
    std::vector<float> line(rowFloats + 2 * pad, 0.0f);
    for (int y = from; y < to; ++y) {
        const float* src = in + static_cast<size_t>(y) * rowFloats;
        std::copy_n(src, rowFloats, line.data() + pad);
        if (plan.edge == BlurEdge::repeated) {
            for (size_t k = 0; k < pad; ++k) {
                line[k] = src[k % ch];
                line[pad + rowFloats + k] = src[rowFloats - ch + k % ch];
            }
        }
        Kernels::symmetricRow(out + static_cast<size_t>(y) * rowFloats, line.data() + pad, rowFloats, ch,
                              plan.across.data(), r);
    }
}

void downColumns(const Plan& plan, const float* in, float* out, int from, int to) {
    const size_t rowFloats = static_cast<size_t>(plan.width) * static_cast<size_t>(plan.channels);
    const int r = radiusOf(plan.down), h = plan.height;
    if (rowFloats == 0 || from >= to) return;
    const std::vector<float> zeros(plan.edge == BlurEdge::transparent ? std::min(rowFloats, stripFloats) : 0, 0.0f);
    std::vector<const float*> rows(static_cast<size_t>(2 * r + 1));
    for (size_t x = 0; x < rowFloats; x += stripFloats) {
        const size_t count = std::min(stripFloats, rowFloats - x);
        for (int y = from; y < to; ++y) {
            for (int j = -r; j <= r; ++j) {
                const int at = y + j;
                const float*& p = rows[static_cast<size_t>(j + r)];
                if (at >= 0 && at < h) {
                    p = in + static_cast<size_t>(at) * rowFloats + x;
                } else if (plan.edge == BlurEdge::transparent) {
                    p = zeros.data();
                } else {
                    p = in + static_cast<size_t>(std::clamp(at, 0, h - 1)) * rowFloats + x;
                }
            }
            Kernels::symmetricColumns(out + static_cast<size_t>(y) * rowFloats + x, rows.data(), count,
                                      plan.down.data(), r);
        }
    }
}

void blur(const Plan& plan, const float* in, float* out) {
    const size_t floats = static_cast<size_t>(plan.width) * static_cast<size_t>(plan.height) *
                          static_cast<size_t>(plan.channels);
    if (floats == 0) return;
    FrameBuffers::Floats across = FrameBuffers::take(floats);
    alongRows(plan, in, across.data(), 0, plan.height);
    downColumns(plan, across.data(), out, 0, plan.height);
    FrameBuffers::keep(std::move(across));
}

void blur(float* pixels, int width, int height, int channels, double sigma, BlurEdge edge) {
    if (!std::isfinite(sigma) || sigma <= 0) return;
    blur(plan(width, height, channels, sigma, sigma, edge), pixels, pixels);
}

} // namespace korvel::GaussianBlur
