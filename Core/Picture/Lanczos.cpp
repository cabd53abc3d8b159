#include "Core/Picture/Lanczos.hpp"

#include "Core/Picture/Color/ColorMath.hpp"
#include "Core/Picture/Kernels/Kernels.hpp"
#include "Core/Picture/Kernels/ResampleKernels.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
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
using Axis = Plan::Axis;

Axis axis(int outStart, int outCount, double s, double t, int sourceOrigin, int sourceSize, bool clamp) {
    // Enlarging takes the linear tent, as every enlarged picture does.
    const bool linear = s > 1;
    double support = linear ? 1 : 3 / std::min(s, 1.0);
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
            w[static_cast<size_t>(k)] = linear ? std::max(0.0, 1 - std::fabs(centre - u)) : kernel((centre - u) * stretch);
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
    a.grouped = Kernels::groupedWeights(a.weights.data(), a.taps, outCount);
    return a;
}

// The source rows an output row weighs, those of zero weight left out.
struct Taps {
    std::vector<const float*> rows;
    std::vector<float> weights;
};

void gather(const Plan::Axis& ay, const Rows& src, const RGBAImage& out, int y, int rowFirst, int rowLast, int c0,
            Taps& taps) {
    const float* w = &ay.weights[static_cast<size_t>(y - out.y) * ay.taps];
    int first = ay.first[static_cast<size_t>(y - out.y)];
    taps.rows.clear();
    taps.weights.clear();
    for (int k = 0; k < ay.taps; ++k) {
        if (w[k] == 0) continue;
        taps.rows.push_back(src.row(std::clamp(first + k, rowFirst, rowLast)) + static_cast<size_t>(c0) * 4);
        taps.weights.push_back(w[k]);
    }
}

// Where the rows of `b` continue those of `a` (a's last rows are b's first),
// the number of a's rows before b's begin; otherwise nothing.
std::optional<int> overlap(const Taps& a, const Taps& b) {
    const size_t ta = a.rows.size(), tb = b.rows.size();
    for (size_t shift = 0; shift < ta; ++shift) {
        if (shift + tb < ta || a.rows[shift] != b.rows[0]) continue;
        if (std::equal(a.rows.begin() + static_cast<ptrdiff_t>(shift), a.rows.end(), b.rows.begin())) return static_cast<int>(shift);
    }
    return std::nullopt;
}

// Each output row: its source rows weighted into one line, then that line
// filtered along itself. No source row is filtered twice, whatever the bands;
// two rows next to each other read the source rows they share once.
void verticalFirst(const Plan& plan, const Rows& src, RGBAImage& out, int y0, int y1, int rowFirst, int rowLast) {
    const Axis& ax = plan.columns;
    const Axis& ay = plan.rows;
    // Only the source columns some output reads (the first taps only grow).
    const int c0 = std::clamp(ax.first.front(), 0, src.width - 1);
    const int c1 = std::clamp(ax.first.back() + ax.taps - 1, 0, src.width - 1);
    const size_t lineFloats = static_cast<size_t>(out.width) * 4;
    const size_t columns = static_cast<size_t>(c1 - c0 + 1) * 4;
    // Scratch of this thread, kept from band to band and never cleared: every
    // value read is written first.
    thread_local std::vector<float> lines;
    thread_local Taps taps[2];
    thread_local std::vector<const float*> both;
    if (size_t needed = static_cast<size_t>(src.width) * 4 * 2; lines.size() < needed) lines.resize(needed);
    float* line[2] = {lines.data(), lines.data() + static_cast<size_t>(src.width) * 4};
    auto finish = [&](int y, const float* from) {
        float* dstRow = out.row(y - out.y);
        Kernels::resampleRow(dstRow, from, src.width, ax.first.data(), ax.weights.data(), ax.taps, out.width,
                             ax.grouped.empty() ? nullptr : ax.grouped.data());
        Kernels::sanitise(dstRow, lineFloats);
    };
    for (int y = y0; y < y1;) {
        Taps& a = taps[0];
        gather(ay, src, out, y, rowFirst, rowLast, c0, a);
        if (a.rows.empty()) {
            std::fill_n(out.row(y - out.y), lineFloats, 0.0f);
            ++y;
            continue;
        }
        float* at = line[0] + static_cast<size_t>(c0) * 4;
        if (y + 1 < y1) {
            Taps& b = taps[1];
            gather(ay, src, out, y + 1, rowFirst, rowLast, c0, b);
            if (auto shift = b.rows.empty() ? std::nullopt : overlap(a, b)) {
                both.assign(a.rows.begin(), a.rows.end());
                both.insert(both.end(), b.rows.begin() + static_cast<ptrdiff_t>(a.rows.size()) - *shift, b.rows.end());
                float* bt = line[1] + static_cast<size_t>(c0) * 4;
                Kernels::weightedSums(at, bt, both.data(), a.weights.data(), static_cast<int>(a.rows.size()),
                                      b.weights.data(), *shift, static_cast<int>(b.rows.size()), columns);
                finish(y, line[0]);
                finish(y + 1, line[1]);
                y += 2;
                continue;
            }
        }
        Kernels::weightedSum(at, a.rows.data(), a.weights.data(), static_cast<int>(a.rows.size()), columns);
        finish(y, line[0]);
        ++y;
    }
}
} // namespace

Plan plan(const RGBAImage& src, double s, double tx, double ty, bool clamp, const RGBAImage& out) {
    return plan(src, s, s, tx, ty, clamp, out);
}

Plan plan(const RGBAImage& src, double sx, double sy, double tx, double ty, bool clamp, const RGBAImage& out) {
    Plan p;
    p.clampEdges = clamp;
    if (src.empty() || !(sx > 0) || !(sy > 0) || out.empty()) return p;
    p.columns = axis(out.x, out.width, sx, tx, src.x, src.width, clamp);
    p.rows = axis(out.y, out.height, sy, ty, src.y, src.height, clamp);
    return p;
}

std::optional<std::pair<int, int>> rowsRead(const Plan& plan, int sourceHeight, const RGBAImage& out, int from, int to) {
    if (sourceHeight <= 0 || plan.columns.taps == 0 || plan.rows.taps == 0) return std::nullopt;
    int y0 = std::max(from, out.y), y1 = std::min(to, out.y + out.height);
    if (y0 >= y1 || out.width <= 0) return std::nullopt;
    const Axis& ay = plan.rows;
    const size_t r0 = static_cast<size_t>(y0 - out.y), r1 = static_cast<size_t>(y1 - out.y);
    int rowFirst = ay.first[r0], rowLast = ay.first[r1 - 1] + ay.taps - 1;
    if (plan.clampEdges) {
        rowFirst = std::clamp(rowFirst, 0, sourceHeight - 1);
        rowLast = std::clamp(rowLast, 0, sourceHeight - 1);
    } else {
        rowFirst = std::max(rowFirst, 0);
        rowLast = std::min(rowLast, sourceHeight - 1);
    }
    if (rowFirst > rowLast) return std::nullopt;
    return std::pair{rowFirst, rowLast};
}

void draw(const Plan& plan, const RGBAImage& src, RGBAImage& out, int from, int to) {
    draw(plan, Rows{src.pixels.data(), 0, src.width, src.height}, out, from, to);
}

void draw(const Plan& plan, const Rows& src, RGBAImage& out, int from, int to) {
    if (src.empty() || plan.columns.taps == 0 || plan.rows.taps == 0) return;
    int y0 = std::max(from, out.y), y1 = std::min(to, out.y + out.height);
    if (y0 >= y1 || out.width <= 0) return;
    const Axis& ax = plan.columns;
    const Axis& ay = plan.rows;
    const auto read = rowsRead(plan, src.height, out, from, to);
    if (!read) {
        for (int y = y0; y < y1; ++y) std::fill_n(out.row(y - out.y), static_cast<size_t>(out.width) * 4, 0.0f);
        return;
    }
    const auto [rowFirst, rowLast] = *read;
    if (!Kernels::references()) return verticalFirst(plan, src, out, y0, y1, rowFirst, rowLast);
    // Horizontal pass over the source rows these output rows need; one
    // pixel's four channels travel as one vector.
    typedef float Pixel __attribute__((vector_size(16)));
    const int rows = rowLast - rowFirst + 1;
    const size_t lineFloats = static_cast<size_t>(out.width) * 4;
    std::vector<Pixel> line(static_cast<size_t>(rows) * static_cast<size_t>(out.width));
    for (int r = 0; r < rows; ++r) {
        const float* srow = src.row(rowFirst + r);
        Pixel* dst = &line[static_cast<size_t>(r) * static_cast<size_t>(out.width)];
        for (int o = 0; o < out.width; ++o) {
            const float* w = &ax.weights[static_cast<size_t>(o) * ax.taps];
            int first = ax.first[static_cast<size_t>(o)];
            Pixel acc = {0, 0, 0, 0};
            if (first >= 0 && first + ax.taps <= src.width) {
                const float* p = srow + static_cast<size_t>(first) * 4;
                for (int k = 0; k < ax.taps; ++k, p += 4) {
                    Pixel v;
                    __builtin_memcpy(&v, p, sizeof v);
                    acc += v * w[k];
                }
            } else {
                for (int k = 0; k < ax.taps; ++k) {
                    if (w[k] == 0) continue;
                    int index = std::clamp(first + k, 0, src.width - 1);
                    Pixel v;
                    __builtin_memcpy(&v, srow + static_cast<size_t>(index) * 4, sizeof v);
                    acc += v * w[k];
                }
            }
            dst[o] = acc;
        }
    }
    // Vertical pass.
    for (int y = y0; y < y1; ++y) {
        const float* w = &ay.weights[static_cast<size_t>(y - out.y) * ay.taps];
        int first = ay.first[static_cast<size_t>(y - out.y)];
        float* dstRow = out.row(y - out.y);
        std::vector<Pixel> acc(static_cast<size_t>(out.width), Pixel{0, 0, 0, 0});
        for (int k = 0; k < ay.taps; ++k) {
            if (w[k] == 0) continue;
            int index = std::clamp(first + k, rowFirst, rowLast);
            const Pixel* l = &line[static_cast<size_t>(index - rowFirst) * static_cast<size_t>(out.width)];
            float wk = w[k];
            for (int i = 0; i < out.width; ++i) acc[static_cast<size_t>(i)] += l[i] * wk;
        }
        std::memcpy(dstRow, acc.data(), lineFloats * sizeof(float));
        for (size_t i = 0; i < lineFloats; ++i) dstRow[i] = ColorMath::sane(dstRow[i]);
    }
}

} // namespace korvel::Lanczos
