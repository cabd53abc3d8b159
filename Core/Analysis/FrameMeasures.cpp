#include "Core/Analysis/FrameMeasures.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace korvel {

double FrameMeasures::sharpness(std::span<const uint8_t> bgra, int64_t width, int64_t height, int64_t bytesPerRow) {
    if (width <= 0 || height <= 0 || bytesPerRow < width * 4) return 0;
    if (height > int64_t(bgra.size()) / bytesPerRow + 1) return 0;
    if (uint64_t(height - 1) * uint64_t(bytesPerRow) + uint64_t(width) * 4 > bgra.size()) return 0;
    const int64_t edge = std::max(width, height);
    const int64_t step = edge < 480 ? 1 : edge / 480;
    const int64_t cols = width / step, rows = height / step;
    if (cols < 3 || rows < 3) return 0;
    std::vector<double> luma(size_t(cols * rows));
    for (int64_t i = 0; i < rows; ++i) {
        const uint8_t* row = &bgra[size_t(i * step * bytesPerRow)];
        for (int64_t j = 0; j < cols; ++j) {
            const uint8_t* p = row + j * step * 4;
            luma[size_t(i * cols + j)] = 0.0722 * p[0] + 0.7152 * p[1] + 0.2126 * p[2];
        }
    }
    auto laplacian = [&](int64_t i, int64_t j) {
        const double* c = &luma[size_t(i * cols + j)];
        return c[-cols] + c[cols] + c[-1] + c[1] - 4 * c[0];
    };
    double sum = 0;
    const double count = double((rows - 2) * (cols - 2));
    for (int64_t i = 1; i + 1 < rows; ++i)
        for (int64_t j = 1; j + 1 < cols; ++j) sum += laplacian(i, j);
    const double mean = sum / count;
    double squares = 0;
    for (int64_t i = 1; i + 1 < rows; ++i)
        for (int64_t j = 1; j + 1 < cols; ++j) {
            double d = laplacian(i, j) - mean;
            squares += d * d;
        }
    return std::max(squares / count, 0.0);
}

double MaskRamp::hardened(double value) { return std::clamp(value * gain + offset, 0.0, 1.0); }

uint8_t MaskRamp::hardened(uint8_t value) {
    // On the byte scale: (v·20 − 5·255) / 7, rounded, within 0..255.
    int scaled = (int(value) * 20 - 5 * 255) * 2 + 7;
    int rounded = scaled < 0 ? 0 : scaled / 14;
    return static_cast<uint8_t>(std::min(rounded, 255));
}

} // namespace korvel
