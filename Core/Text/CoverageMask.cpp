#include "Core/Text/CoverageMask.hpp"

#include <algorithm>
#include <cmath>

namespace korvel {

CoverageMask::CoverageMask(int width, int height)
    : width_(std::max(0, width)), height_(std::max(0, height)), stride_(width_ + 3),
      acc_(static_cast<size_t>(stride_) * static_cast<size_t>(height_), 0.0f) {}

void CoverageMask::clippedLine(double x0, double y0, double x1, double y1) {
    // Parts left or right of the grid still wind the pixels beside them:
    // they are moved onto the border as vertical lines.
    if (!std::isfinite(x0) || !std::isfinite(y0) || !std::isfinite(x1) || !std::isfinite(y1)) return;
    const double w = width_;
    double ts[4] = {0, 1, 1, 1};
    int n = 1;
    if (x0 != x1) {
        const double a = (0.0 - x0) / (x1 - x0), b = (w - x0) / (x1 - x0);
        for (double t : {std::min(a, b), std::max(a, b)}) {
            if (t > 0 && t < 1) ts[n++] = t;
        }
    }
    ts[n] = 1;
    for (int i = 0; i < n; ++i) {
        const double ta = ts[i], tb = ts[i + 1];
        const double ax = std::clamp(x0 + (x1 - x0) * ta, 0.0, w), ay = y0 + (y1 - y0) * ta;
        const double bx = std::clamp(x0 + (x1 - x0) * tb, 0.0, w), by = y0 + (y1 - y0) * tb;
        line(ax, ay, bx, by);
    }
}

void CoverageMask::line(double x0, double y0, double x1, double y1) {
    if (y0 == y1) return;
    double dir = 1;
    if (y0 > y1) {
        std::swap(x0, x1);
        std::swap(y0, y1);
        dir = -1;
    }
    const double h = height_;
    if (y1 <= 0 || y0 >= h) return;
    const double dxdy = (x1 - x0) / (y1 - y0);
    double x = x0;
    if (y0 < 0) {
        x += dxdy * (0 - y0);
        y0 = 0;
    }
    if (y1 > h) y1 = h;
    touched_ = true;
    const int yStart = static_cast<int>(std::floor(y0));
    const int yEnd = std::min(height_, static_cast<int>(std::ceil(y1)));
    for (int y = yStart; y < yEnd; ++y) {
        float* row = acc_.data() + static_cast<size_t>(y) * static_cast<size_t>(stride_);
        const double dy = std::min(static_cast<double>(y + 1), y1) - std::max(static_cast<double>(y), y0);
        const double xNext = x + dxdy * dy;
        const double d = dy * dir;
        const double xa = std::min(x, xNext), xb = std::max(x, xNext);
        const double xaFloor = std::floor(xa);
        const int ia = static_cast<int>(xaFloor);
        const int ib = static_cast<int>(std::ceil(xb));
        if (ib <= ia + 1) {
            const double xm = 0.5 * (x + xNext) - xaFloor;
            row[ia] += static_cast<float>(d - d * xm);
            row[ia + 1] += static_cast<float>(d * xm);
        } else {
            const double s = 1 / (xb - xa);
            const double fa = xa - xaFloor;
            const double a0 = 0.5 * s * (1 - fa) * (1 - fa);
            const double fb = xb - ib + 1;
            const double am = 0.5 * s * fb * fb;
            row[ia] += static_cast<float>(d * a0);
            if (ib == ia + 2) {
                row[ia + 1] += static_cast<float>(d * (1 - a0 - am));
            } else {
                const double a1 = s * (1.5 - fa);
                row[ia + 1] += static_cast<float>(d * (a1 - a0));
                for (int i = ia + 2; i < ib - 1; ++i) row[i] += static_cast<float>(d * s);
                const double a2 = a1 + (ib - ia - 3) * s;
                row[ib - 1] += static_cast<float>(d * (1 - a2 - am));
            }
            row[ib] += static_cast<float>(d * am);
        }
        x = xNext;
    }
}

void CoverageMask::addOutline(const GlyphOutline& outline, double scale, double ox, double oy) {
    const auto& p = outline.points;
    size_t at = 0;
    double startX = 0, startY = 0, penX = 0, penY = 0;
    bool open = false;
    const auto X = [&](size_t i) { return ox + p[2 * i] * scale; };
    const auto Y = [&](size_t i) { return oy - p[2 * i + 1] * scale; };
    const auto to = [&](double x, double y) {
        clippedLine(penX, penY, x, y);
        penX = x;
        penY = y;
    };
    const auto close = [&] {
        if (open) to(startX, startY);
        open = false;
    };
    constexpr double tolerance = 0.05; // pixels
    for (GlyphOutline::Op op : outline.ops) {
        switch (op) {
        case GlyphOutline::Op::move:
            close();
            startX = penX = X(at);
            startY = penY = Y(at);
            ++at;
            open = true;
            break;
        case GlyphOutline::Op::line:
            to(X(at), Y(at));
            ++at;
            break;
        case GlyphOutline::Op::quad: {
            const double ax = penX, ay = penY, bx = X(at), by = Y(at), cx = X(at + 1), cy = Y(at + 1);
            at += 2;
            const double dd = std::hypot(ax - 2 * bx + cx, ay - 2 * by + cy);
            const int n = std::clamp(static_cast<int>(std::ceil(std::sqrt(dd / (8 * tolerance)))), 1, 256);
            for (int i = 1; i <= n; ++i) {
                const double t = static_cast<double>(i) / n, u = 1 - t;
                to(u * u * ax + 2 * u * t * bx + t * t * cx, u * u * ay + 2 * u * t * by + t * t * cy);
            }
            break;
        }
        case GlyphOutline::Op::cubic: {
            const double ax = penX, ay = penY, bx = X(at), by = Y(at), cx = X(at + 1), cy = Y(at + 1);
            const double dx = X(at + 2), dy = Y(at + 2);
            at += 3;
            const double dd = std::max(std::hypot(ax - 2 * bx + cx, ay - 2 * by + cy),
                                       std::hypot(bx - 2 * cx + dx, by - 2 * cy + dy));
            const int n = std::clamp(static_cast<int>(std::ceil(std::sqrt(3 * dd / (4 * tolerance)))), 1, 256);
            for (int i = 1; i <= n; ++i) {
                const double t = static_cast<double>(i) / n, u = 1 - t;
                to(u * u * u * ax + 3 * u * u * t * bx + 3 * u * t * t * cx + t * t * t * dx,
                   u * u * u * ay + 3 * u * u * t * by + 3 * u * t * t * cy + t * t * t * dy);
            }
            break;
        }
        case GlyphOutline::Op::close:
            close();
            break;
        }
    }
    close();
}

void CoverageMask::addRect(double x0, double y0, double x1, double y1) {
    if (!(x1 > x0) || !(y1 > y0)) return;
    clippedLine(x0, y0, x0, y1);
    clippedLine(x0, y1, x1, y1);
    clippedLine(x1, y1, x1, y0);
    clippedLine(x1, y0, x0, y0);
}

std::vector<float> CoverageMask::coverage() const {
    std::vector<float> out(static_cast<size_t>(width_) * static_cast<size_t>(height_));
    for (int y = 0; y < height_; ++y) {
        const float* row = acc_.data() + static_cast<size_t>(y) * static_cast<size_t>(stride_);
        float* o = out.data() + static_cast<size_t>(y) * static_cast<size_t>(width_);
        float sum = 0;
        for (int x = 0; x < width_; ++x) {
            sum += row[x];
            o[x] = std::min(1.0f, std::fabs(sum));
        }
    }
    return out;
}

} // namespace korvel
