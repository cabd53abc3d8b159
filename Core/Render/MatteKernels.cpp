#include "Core/Render/MatteKernels.hpp"

#include "Core/Render/ColorMath.hpp"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "Core/Render/MatteKernels.cpp"
#include <hwy/foreach_target.h> // IWYU pragma: keep

#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace korvel::MatteKernels::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using D = hn::ScalableTag<float>;
using V = hn::Vec<D>;

HWY_INLINE V sane(D d, V x) { return hn::IfThenElseZero(hn::Eq(hn::Sub(x, x), hn::Zero(d)), x); }

void Blend(float* HWY_RESTRICT out, float* HWY_RESTRICT inside, const float* HWY_RESTRICT picture,
           const float* HWY_RESTRICT mask, const float* HWY_RESTRICT fill, int count) {
    const D d;
    const int n = static_cast<int>(hn::Lanes(d));
    const V zero = hn::Zero(d), one = hn::Set(d, 1.0f), harden = hn::Set(d, 1.02f);
    int i = 0;
    for (; i + n <= count; i += n) {
        V mr, mg, mb, ma, s0, s1, s2, s3, p0, p1, p2, p3;
        hn::LoadInterleaved4(d, mask + 4 * i, mr, mg, mb, ma);
        hn::LoadInterleaved4(d, picture + 4 * i, s0, s1, s2, s3);
        hn::LoadInterleaved4(d, fill + 4 * i, p0, p1, p2, p3);
        V v = hn::Mul(sane(d, mr), harden);
        V in = hn::IfThenElseZero(hn::Gt(v, zero), hn::IfThenElse(hn::Lt(v, one), v, one));
        V m2 = hn::Mul(in, in);
        auto solid = hn::Ge(hn::Mul(m2, m2), one);
        V keep = hn::Mul(zero, hn::Sub(one, s3));
        V out_ = hn::Sub(one, in);
        auto mix = [&](V f, V p) { return sane(d, hn::Add(hn::Mul(f, in), hn::Mul(p, out_))); };
        V f0 = hn::IfThenElseZero(solid, sane(d, hn::Add(s0, keep)));
        V f1 = hn::IfThenElseZero(solid, sane(d, hn::Add(s1, keep)));
        V f2 = hn::IfThenElseZero(solid, sane(d, hn::Add(s2, keep)));
        V f3 = sane(d, hn::Add(s3, keep));
        hn::StoreInterleaved4(mix(f0, p0), mix(f1, p1), mix(f2, p2), mix(f3, p3), d, out + 4 * i);
        hn::StoreU(in, d, inside + i);
    }
    if (i < count) blendReference(out + 4 * i, inside + i, picture + 4 * i, mask + 4 * i, fill + 4 * i, count - i);
}

} // namespace korvel::MatteKernels::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace korvel::MatteKernels {

HWY_EXPORT(Blend);

void blend(float* out, float* inside, const float* picture, const float* mask, const float* fill, int count) {
    HWY_DYNAMIC_DISPATCH(Blend)(out, inside, picture, mask, fill, count);
}

void blendReference(float* out, float* inside, const float* picture, const float* mask, const float* fill, int count) {
    // 1.02 as the single-precision constant it is written as.
    const float harden = 1.02f;
    for (int i = 0; i < count; ++i, out += 4, picture += 4, mask += 4, fill += 4) {
        float v = ColorMath::sane(mask[0]) * harden;
        float in = v > 0 ? (v < 1 ? v : 1.0f) : 0.0f;
        float m2 = in * in;
        bool solid = m2 * m2 >= 1;
        float keep = 1 - picture[3];
        for (int c = 0; c < 4; ++c) {
            float b = ColorMath::sane(picture[c] + 0.0f * keep);
            float f = c == 3 || solid ? b : 0.0f;
            out[c] = ColorMath::sane(f * in + fill[c] * (1 - in));
        }
        inside[i] = in;
    }
}

} // namespace korvel::MatteKernels
#endif
