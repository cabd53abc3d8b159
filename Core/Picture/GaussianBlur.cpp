#include "Core/Picture/GaussianBlur.hpp"

#include "Core/Picture/FrameBuffers.hpp"
#include "Core/Picture/Kernels/BlurKernels.hpp"
#include "Core/Picture/Kernels/Kernels.hpp"

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
    const auto filter = Kernels::references() ? Kernels::symmetricRowReference : Kernels::symmetricRow;
    for (int y = from; y < to; ++y) {
        const float* src = in + static_cast<size_t>(y) * rowFloats;
        std::copy_n(src, rowFloats, line.data() + pad);
        if (plan.edge == BlurEdge::repeated) {
            for (size_t k = 0; k < pad; ++k) {
                line[k] = src[k % ch];
                line[pad + rowFloats + k] = src[rowFloats - ch + k % ch];
            }
        }
        filter(out + static_cast<size_t>(y) * rowFloats, line.data() + pad, rowFloats, ch, plan.across.data(), r);
    }
}

void downColumns(const Plan& plan, const float* in, float* out, int from, int to) {
    const size_t rowFloats = static_cast<size_t>(plan.width) * static_cast<size_t>(plan.channels);
    const int r = radiusOf(plan.down), h = plan.height;
    if (rowFloats == 0 || from >= to) return;
    const std::vector<float> zeros(plan.edge == BlurEdge::transparent ? std::min(rowFloats, stripFloats) : 0, 0.0f);
    std::vector<const float*> rows(static_cast<size_t>(2 * r + 1));
    const auto filter = Kernels::references() ? Kernels::symmetricColumnsReference : Kernels::symmetricColumns;
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
            filter(out + static_cast<size_t>(y) * rowFloats + x, rows.data(), count, plan.down.data(), r);
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

namespace {
// Above this the kernel's taps cost more than a shrunk copy's round trip.
constexpr double widestFull = 8;

// Whole pixels a side one pixel of the shrunk copy stands for: the copy's
// sigma stays between four and eight.
int factorOf(double sigma) { return sigma > widestFull ? static_cast<int>(std::ceil(sigma / 8)) : 1; }

// The cells of a copy shrunk f times: cell i stands for the pixels
// [(i - 1) f, i f), so that one cell each side lies wholly beyond the picture.
struct Shrunk {
    int f = 1, width = 0, height = 0;
    size_t channels = 0;
    FrameBuffers::Floats cells;
};

// Row y of the picture added into a row of cells, what lies beyond it as the
// edge rule has it.
void addRow(const float* row, int w, const Shrunk& s, BlurEdge edge, float* cells) {
    const size_t c = s.channels;
    for (int x = 0; x < w; ++x) {
        float* cell = cells + static_cast<size_t>(x / s.f + 1) * c;
        for (size_t k = 0; k < c; ++k) cell[k] += row[static_cast<size_t>(x) * c + k];
    }
    if (edge == BlurEdge::transparent) return;
    const float* last = row + static_cast<size_t>(w - 1) * c;
    const auto beyond = static_cast<float>((s.width - 2) * s.f - w);
    for (size_t k = 0; k < c; ++k) {
        cells[k] += static_cast<float>(s.f) * row[k];
        cells[static_cast<size_t>(s.width - 2) * c + k] += beyond * last[k];
        cells[static_cast<size_t>(s.width - 1) * c + k] += static_cast<float>(s.f) * last[k];
    }
}

Shrunk shrunk(const float* pixels, int w, int h, int ch, int f, BlurEdge edge) {
    Shrunk s{f, (w + f - 1) / f + 2, (h + f - 1) / f + 2, static_cast<size_t>(ch), {}};
    const size_t rowCells = static_cast<size_t>(s.width) * s.channels, rowFloats = static_cast<size_t>(w) * s.channels;
    s.cells = FrameBuffers::take(rowCells * static_cast<size_t>(s.height));
    std::fill(s.cells.begin(), s.cells.end(), 0.0f);
    const float share = 1.0f / static_cast<float>(f * f);
    for (int j = 0; j < s.height; ++j) {
        float* cells = s.cells.data() + static_cast<size_t>(j) * rowCells;
        for (int y = (j - 1) * f; y < j * f; ++y) {
            if ((y < 0 || y >= h) && edge == BlurEdge::transparent) continue;
            addRow(pixels + static_cast<size_t>(std::clamp(y, 0, h - 1)) * rowFloats, w, s, edge, cells);
        }
        for (size_t k = 0; k < rowCells; ++k) cells[k] *= share;
    }
    return s;
}

// The cells read back linearly at every pixel's centre.
void readBack(const Shrunk& s, float* pixels, int w, int h) {
    const size_t c = s.channels, rowCells = static_cast<size_t>(s.width) * c;
    struct Tap {
        size_t index;
        float weight;
    };
    auto tap = [&](int at) {
        const double u = (at + 0.5) / s.f + 0.5;
        const int i = static_cast<int>(std::floor(u));
        return Tap{static_cast<size_t>(i), static_cast<float>(u - i)};
    };
    std::vector<Tap> columns(static_cast<size_t>(w));
    for (int x = 0; x < w; ++x) columns[static_cast<size_t>(x)] = tap(x);
    std::vector<float> line(rowCells);
    for (int y = 0; y < h; ++y) {
        const Tap t = tap(y);
        const float* top = s.cells.data() + t.index * rowCells;
        const float* bottom = top + rowCells;
        for (size_t k = 0; k < rowCells; ++k) line[k] = top[k] + (bottom[k] - top[k]) * t.weight;
        float* out = pixels + static_cast<size_t>(y) * static_cast<size_t>(w) * c;
        for (int x = 0; x < w; ++x) {
            const Tap u = columns[static_cast<size_t>(x)];
            const float* a = line.data() + u.index * c;
            for (size_t k = 0; k < c; ++k) out[static_cast<size_t>(x) * c + k] = a[k] + (a[k + c] - a[k]) * u.weight;
        }
    }
}
} // namespace

void blur(float* pixels, int width, int height, int channels, double sigma, BlurEdge edge) {
    if (!std::isfinite(sigma) || sigma <= 0 || width <= 0 || height <= 0 || channels <= 0) return;
    const int f = factorOf(sigma);
    if (f == 1) return blur(plan(width, height, channels, sigma, sigma, edge), pixels, pixels);
    Shrunk s = shrunk(pixels, width, height, channels, f, edge);
    // Shrinking by area and reading back linearly spread the picture by a
    // variance of about (f^2 - 1) / 4 pixels; the kernel leaves that out.
    const double small = std::sqrt(sigma * sigma - (f * f - 1) / 4.0) / f;
    blur(plan(s.width, s.height, channels, small, small, edge), s.cells.data(), s.cells.data());
    readBack(s, pixels, width, height);
    FrameBuffers::keep(std::move(s.cells));
}

} // namespace korvel::GaussianBlur
