#include "Core/Render/Lanczos.hpp"

#include "Core/Render/ColorMath.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace korvel::Lanczos {

double kernel(double x) {
    x = std::fabs(x);
    if (x < 1e-9) return 1;
    if (x >= 3) return 0;
    double px = M_PI * x;
    return 3 * std::sin(px) * std::sin(px / 3) / (px * px);
}

namespace {
// The taps of every output coordinate along one axis.
struct Axis {
    int taps = 0;
    std::vector<int> first;     // first source index of each output
    std::vector<float> weights; // taps per output
};

Axis axis(int outStart, int outCount, double s, double t, int sourceOrigin, int sourceSize, bool clamp) {
    double support = 3 / std::min(s, 1.0);
    double stretch = std::min(s, 1.0);
    Axis a;
    a.taps = static_cast<int>(std::ceil(support * 2)) + 1;
    a.first.resize(static_cast<size_t>(outCount));
    a.weights.assign(static_cast<size_t>(outCount) * a.taps, 0.0f);
    std::vector<double> w(static_cast<size_t>(a.taps));
    for (int o = 0; o < outCount; ++o) {
        double u = (outStart + o + 0.5 - t) / s - sourceOrigin; // source position, pixel units
        int first = static_cast<int>(std::floor(u - support));
        double total = 0;
        for (int k = 0; k < a.taps; ++k) {
            double centre = first + k + 0.5;
            w[static_cast<size_t>(k)] = kernel((centre - u) * stretch);
            total += w[static_cast<size_t>(k)];
        }
        if (total == 0) total = 1;
        a.first[static_cast<size_t>(o)] = first;
        float* dst = &a.weights[static_cast<size_t>(o) * a.taps];
        for (int k = 0; k < a.taps; ++k) {
            int index = first + k;
            bool inside = index >= 0 && index < sourceSize;
            if (!inside && !clamp) continue;
            dst[k] = static_cast<float>(w[static_cast<size_t>(k)] / total);
        }
    }
    return a;
}
} // namespace

void draw(const RGBAImage& src, double s, double tx, double ty, bool clamp, RGBAImage& out, int from, int to) {
    if (src.empty() || !(s > 0)) return;
    int y0 = std::max(from, out.y), y1 = std::min(to, out.y + out.height);
    if (y0 >= y1 || out.width <= 0) return;
    Axis ax = axis(out.x, out.width, s, tx, src.x, src.width, clamp);
    Axis ay = axis(y0, y1 - y0, s, ty, src.y, src.height, clamp);
    int rowFirst = ay.first.front(), rowLast = ay.first.back() + ay.taps - 1;
    if (clamp) {
        rowFirst = std::clamp(rowFirst, 0, src.height - 1);
        rowLast = std::clamp(rowLast, 0, src.height - 1);
    } else {
        rowFirst = std::max(rowFirst, 0);
        rowLast = std::min(rowLast, src.height - 1);
    }
    if (rowFirst > rowLast) {
        for (int y = y0; y < y1; ++y) std::fill_n(out.row(y - out.y), static_cast<size_t>(out.width) * 4, 0.0f);
        return;
    }
    // Horizontal pass over the source rows these output rows need.
    const int rows = rowLast - rowFirst + 1;
    const size_t lineFloats = static_cast<size_t>(out.width) * 4;
    std::vector<float> line(static_cast<size_t>(rows) * lineFloats);
    for (int r = 0; r < rows; ++r) {
        const float* srow = src.row(rowFirst + r);
        float* dst = &line[static_cast<size_t>(r) * lineFloats];
        for (int o = 0; o < out.width; ++o) {
            const float* w = &ax.weights[static_cast<size_t>(o) * ax.taps];
            int first = ax.first[static_cast<size_t>(o)];
            float acc[4] = {0, 0, 0, 0};
            for (int k = 0; k < ax.taps; ++k) {
                if (w[k] == 0) continue;
                int index = std::clamp(first + k, 0, src.width - 1);
                const float* p = srow + static_cast<size_t>(index) * 4;
                acc[0] += p[0] * w[k];
                acc[1] += p[1] * w[k];
                acc[2] += p[2] * w[k];
                acc[3] += p[3] * w[k];
            }
            std::copy(acc, acc + 4, dst + static_cast<size_t>(o) * 4);
        }
    }
    // Vertical pass.
    for (int y = y0; y < y1; ++y) {
        const float* w = &ay.weights[static_cast<size_t>(y - y0) * ay.taps];
        int first = ay.first[static_cast<size_t>(y - y0)];
        float* dst = out.row(y - out.y);
        std::fill_n(dst, lineFloats, 0.0f);
        for (int k = 0; k < ay.taps; ++k) {
            if (w[k] == 0) continue;
            int index = first + k;
            index = std::clamp(index, rowFirst, rowLast);
            const float* l = &line[static_cast<size_t>(index - rowFirst) * lineFloats];
            float wk = w[k];
            for (size_t i = 0; i < lineFloats; ++i) dst[i] += l[i] * wk;
        }
        for (size_t i = 0; i < lineFloats; ++i) dst[i] = ColorMath::sane(dst[i]);
    }
}

} // namespace korvel::Lanczos
