#include "Core/Picture/Steps/GrainStep.hpp"

#include "Core/Picture/Kernels/Kernels.hpp"

#include <algorithm>
#include <cmath>

namespace korvel {

GrainStep::GrainStep(std::shared_ptr<const std::vector<float>> tile, GrainOffset offset, double scale, double strength,
                     int canvasHeight)
    : tile_(std::move(tile)), offset_(offset), inverseScale_(scale > 0 ? 1.0 / scale : 1.0),
      amplitude_(static_cast<float>(0.8 * strength)), canvasHeight_(canvasHeight) {}

float GrainStep::level(int x, int y) const {
    constexpr int n = GrainGrid::tileSize;
    // The tile lies in an origin-at-bottom frame: its first row on top.
    double u = (x + 0.5) * inverseScale_ - static_cast<double>(offset_.x) - 0.5;
    double v = (canvasHeight_ - y - 0.5) * inverseScale_ - static_cast<double>(offset_.y) - 0.5;
    double fu = std::floor(u), fv = std::floor(v);
    float du = static_cast<float>(u - fu), dv = static_cast<float>(v - fv);
    auto wrap = [](int64_t i) { return static_cast<int>(((i % n) + n) % n); };
    int u0 = wrap(static_cast<int64_t>(fu)), u1 = (u0 + 1) % n;
    int v0 = wrap(static_cast<int64_t>(fv)), v1 = (v0 + 1) % n;
    const float* t = tile_->data();
    auto at = [&](int col, int rowUp) { return t[static_cast<size_t>(n - 1 - rowUp) * n + static_cast<size_t>(col)]; };
    float bottom = at(u0, v0) + (at(u1, v0) - at(u0, v0)) * du;
    float top = at(u0, v1) + (at(u1, v1) - at(u0, v1)) * du;
    return bottom + (top - bottom) * dv;
}

Kernels::GrainRow GrainStep::row(int x, int y) const {
    constexpr int n = GrainGrid::tileSize;
    auto floorOf = [](double v) {
        auto i = static_cast<int64_t>(v);
        return v < static_cast<double>(i) ? i - 1 : i;
    };
    double v = (canvasHeight_ - y - 0.5) * inverseScale_ - static_cast<double>(offset_.y) - 0.5;
    int64_t fv = floorOf(v);
    int v0 = static_cast<int>(fv & (n - 1)), v1 = (v0 + 1) & (n - 1);
    Kernels::GrainRow row;
    row.lower = tile_->data() + static_cast<size_t>(n - 1 - v0) * n;
    row.upper = tile_->data() + static_cast<size_t>(n - 1 - v1) * n;
    row.x = x + 0.5;
    row.step = inverseScale_;
    row.shift = static_cast<double>(offset_.x);
    row.dv = static_cast<float>(v - static_cast<double>(fv));
    row.amplitude = amplitude_;
    row.grey = (1 - amplitude_) * 0.5f;
    return row;
}

void GrainStep::run(float* rgba, int count, int x, int y) const {
    constexpr int n = GrainGrid::tileSize;
    // level() along the row: one tile row pair, each column as level() finds it.
    const Kernels::GrainRow r = row(x, y);
    if (!Kernels::references()) return Kernels::grain(rgba, count, r);
    for (int i = 0; i < count; ++i, rgba += 4) {
        double u = (x + i + 0.5) * r.step - r.shift - 0.5;
        double fu = std::floor(u);
        float du = static_cast<float>(u - fu);
        int u0 = static_cast<int>(static_cast<int64_t>(fu) & (n - 1)), u1 = (u0 + 1) & (n - 1);
        float bottom = r.lower[u0] + (r.lower[u1] - r.lower[u0]) * du;
        float top = r.upper[u0] + (r.upper[u1] - r.upper[u0]) * du;
        float s = amplitude_ * (bottom + (top - bottom) * r.dv) + r.grey;
        rgba[0] = softLight(rgba[0], s);
        rgba[1] = softLight(rgba[1], s);
        rgba[2] = softLight(rgba[2], s);
    }
}

bool GrainStep::runThenDecode(float* rgba, int count, int x, int y, ColorSpace gamma) const {
    if (Kernels::references()) return false;
    Kernels::grainFromGamma(rgba, count, row(x, y), gamma);
    return true;
}

} // namespace korvel
