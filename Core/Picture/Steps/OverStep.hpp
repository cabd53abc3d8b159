#pragma once

#include "Core/Picture/Kernels/Kernels.hpp"
#include "Core/Picture/PixelChain.hpp"
#include "Core/Picture/RGBAImage.hpp"

#include <algorithm>
#include <memory>

namespace korvel {

// A layer (a logo, a text item) composited source-over where it covers.
class OverStep final : public PixelStep {
public:
    explicit OverStep(std::shared_ptr<const RGBAImage> layer) : layer_(std::move(layer)) {}
    PixelDomain domain() const override { return PixelDomain::linearPremultiplied; }
    void run(float* rgba, int count, int x, int y) const override {
        const RGBAImage& l = *layer_;
        int row = y - l.y;
        if (row < 0 || row >= l.height) return;
        int from = std::max(x, l.x), to = std::min(x + count, l.x + l.width);
        const float* src = l.row(row) + static_cast<size_t>(from - l.x) * 4;
        float* dst = rgba + static_cast<size_t>(from - x) * 4;
        if (!Kernels::references()) return Kernels::over(dst, src, to - from);
        for (int i = from; i < to; ++i, src += 4, dst += 4) {
            float keep = 1 - src[3];
            dst[0] = src[0] + dst[0] * keep;
            dst[1] = src[1] + dst[1] * keep;
            dst[2] = src[2] + dst[2] * keep;
            dst[3] = src[3] + dst[3] * keep;
        }
    }
    bool changes(int count, int x, int y) const override {
        const RGBAImage& l = *layer_;
        return y >= l.y && y < l.y + l.height && std::max(x, l.x) < std::min(x + count, l.x + l.width);
    }

private:
    std::shared_ptr<const RGBAImage> layer_;
};

} // namespace korvel
