#include "Core/Render/Steps/GrainStep.hpp"

#include <algorithm>
#include <cmath>

namespace korvel {

GrainStep::GrainStep(std::shared_ptr<const std::vector<float>> tile, GrainOffset offset, double scale, double strength,
                     int canvasHeight)
    : tile_(std::move(tile)), offset_(offset), inverseScale_(scale > 0 ? 1.0 / scale : 1.0),
      amplitude_(static_cast<float>(0.8 * strength)), canvasHeight_(canvasHeight) {}

float GrainStep::softLight(float b, float s) {
    if (s <= 0.5f) return b - (1 - 2 * s) * b * (1 - b);
    float cb = std::max(b, 0.0f);
    float d = cb <= 0.25f ? ((16 * cb - 12) * cb + 4) * cb : std::sqrt(cb);
    return b + (2 * s - 1) * (d - b);
}

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

void GrainStep::run(float* rgba, int count, int x, int y) const {
    const float grey = (1 - amplitude_) * 0.5f;
    for (int i = 0; i < count; ++i, rgba += 4) {
        float s = amplitude_ * level(x + i, y) + grey;
        rgba[0] = softLight(rgba[0], s);
        rgba[1] = softLight(rgba[1], s);
        rgba[2] = softLight(rgba[2], s);
    }
}

} // namespace korvel
