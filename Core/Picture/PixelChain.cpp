#include "Core/Picture/PixelChain.hpp"

#include "Core/Picture/Kernels/Kernels.hpp"

#include <algorithm>

namespace korvel {

namespace {
inline void apply(const ColorMath::Matrix3& m, float& r, float& g, float& b) {
    float nr = m[0] * r + m[1] * g + m[2] * b;
    float ng = m[3] * r + m[4] * g + m[5] * b;
    float nb = m[6] * r + m[7] * g + m[8] * b;
    r = nr, g = ng, b = nb;
}
} // namespace

void PixelChain::toGamma(float* p, int count, const ColorMath::Curve& curve) {
    bool wide = curve.widensGamut();
    for (int i = 0; i < count; ++i, p += 4) {
        float a = p[3];
        float r = p[0], g = p[1], b = p[2];
        if (a != 1.0f) {
            float inv = a > 1e-6f ? 1.0f / a : 0.0f;
            r *= inv, g *= inv, b *= inv;
        }
        if (wide) apply(ColorMath::bt709ToBt2020, r, g, b);
        p[0] = curve.encode(r);
        p[1] = curve.encode(g);
        p[2] = curve.encode(b);
    }
}

void PixelChain::fromGamma(float* p, int count, const ColorMath::Curve& curve) {
    bool wide = curve.widensGamut();
    for (int i = 0; i < count; ++i, p += 4) {
        float r = curve.decode(p[0]), g = curve.decode(p[1]), b = curve.decode(p[2]);
        if (wide) apply(ColorMath::bt2020ToBt709, r, g, b);
        float a = p[3];
        if (a != 1.0f) r *= a, g *= a, b *= a;
        p[0] = r;
        p[1] = g;
        p[2] = b;
    }
}

void PixelChain::run(float* rgba, int count, int x, int y, PixelDomain out, PixelDomain in) const {
    const ColorMath::Curve& curve = ColorMath::curve(gamma_);
    const bool scalar = Kernels::references();
    auto encode = [&] { scalar ? toGamma(rgba, count, curve) : Kernels::toGamma(rgba, count, gamma_); };
    auto decode = [&] { scalar ? fromGamma(rgba, count, curve) : Kernels::fromGamma(rgba, count, gamma_); };
    // Wanted in gamma, a span that no step after the last one in gamma
    // changes stops there.
    size_t end = steps_.size();
    if (out == PixelDomain::gammaStraight) {
        size_t rest = end;
        while (rest > 0 && steps_[rest - 1]->domain() != PixelDomain::gammaStraight) --rest;
        const bool untouched = std::none_of(steps_.begin() + static_cast<ptrdiff_t>(rest), steps_.end(),
                                            [&](const auto& step) { return step->changes(count, x, y); });
        if (rest > 0 && untouched) end = rest;
    }
    PixelDomain at = in;
    for (size_t k = 0; k < end; ++k) {
        const PixelStep& step = *steps_[k];
        PixelDomain want = step.domain();
        if (want != at) {
            if (want == PixelDomain::gammaStraight) encode();
            else decode();
            at = want;
        }
        // The last step in gamma may take the span back with it.
        const bool back = k + 1 < end ? steps_[k + 1]->domain() != PixelDomain::gammaStraight
                                      : out == PixelDomain::linearPremultiplied;
        if (!scalar && back && at == PixelDomain::gammaStraight && step.runThenDecode(rgba, count, x, y, gamma_)) {
            at = PixelDomain::linearPremultiplied;
            continue;
        }
        step.run(rgba, count, x, y);
    }
    if (at != out) {
        if (out == PixelDomain::linearPremultiplied) decode();
        else encode();
    }
    const int floats = count * 4;
    if (!scalar) return Kernels::sanitise(rgba, static_cast<size_t>(floats));
    for (int i = 0; i < floats; ++i) rgba[i] = ColorMath::sane(rgba[i]);
}

} // namespace korvel
