#include "Core/Picture/Kernels/MatteKernels.hpp"

#include "Core/Picture/Color/ColorMath.hpp"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "Core/Picture/Kernels/MatteKernels.cpp"
#include <hwy/foreach_target.h> // IWYU pragma: keep

#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace korvel::MatteKernels::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using D = hn::ScalableTag<float>;
using V = hn::Vec<D>;

HWY_INLINE V sane(D d, V x) { return hn::IfThenElseZero(hn::Eq(hn::Sub(x, x), hn::Zero(d)), x); }

// The mask's red value x 1.02, held to [0, 1].
HWY_INLINE V hardened(D d, V red) {
    V v = hn::Mul(sane(d, red), hn::Set(d, 1.02f));
    return hn::IfThenElseZero(hn::Gt(v, hn::Zero(d)), hn::IfThenElse(hn::Lt(v, hn::Set(d, 1.0f)), v, hn::Set(d, 1.0f)));
}

void Weigh(float* HWY_RESTRICT out, const float* HWY_RESTRICT picture, const float* HWY_RESTRICT mask, int count) {
    const D d;
    const int n = static_cast<int>(hn::Lanes(d));
    const V zero = hn::Zero(d), one = hn::Set(d, 1.0f);
    int i = 0;
    for (; i + n <= count; i += n) {
        V mr, mg, mb, ma, s0, s1, s2, s3;
        hn::LoadInterleaved4(d, mask + 4 * i, mr, mg, mb, ma);
        hn::LoadInterleaved4(d, picture + 4 * i, s0, s1, s2, s3);
        V in = hardened(d, mr);
        V m2 = hn::Mul(in, in);
        V m4 = hn::Mul(m2, m2);
        V keep = hn::Mul(zero, hn::Sub(one, s3));
        hn::StoreInterleaved4(hn::Mul(sane(d, hn::Add(s0, keep)), m4), hn::Mul(sane(d, hn::Add(s1, keep)), m4),
                              hn::Mul(sane(d, hn::Add(s2, keep)), m4), m4, d, out + 4 * i);
    }
    if (i < count) weighReference(out + 4 * i, picture + 4 * i, mask + 4 * i, count - i);
}

void Blend(float* HWY_RESTRICT out, float* HWY_RESTRICT inside, const float* HWY_RESTRICT picture,
           const float* HWY_RESTRICT mask, const float* HWY_RESTRICT fill, int count) {
    const D d;
    const int n = static_cast<int>(hn::Lanes(d));
    const V zero = hn::Zero(d), one = hn::Set(d, 1.0f);
    int i = 0;
    for (; i + n <= count; i += n) {
        V mr, mg, mb, ma, s0, s1, s2, s3, p0, p1, p2, p3;
        hn::LoadInterleaved4(d, mask + 4 * i, mr, mg, mb, ma);
        hn::LoadInterleaved4(d, picture + 4 * i, s0, s1, s2, s3);
        hn::LoadInterleaved4(d, fill + 4 * i, p0, p1, p2, p3);
        V in = hardened(d, mr);
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

void Pull(float* HWY_RESTRICT out, const float* HWY_RESTRICT picture, const float* HWY_RESTRICT mask,
          const float* HWY_RESTRICT fill, const float* HWY_RESTRICT blurred, int count) {
    const D d;
    const int n = static_cast<int>(hn::Lanes(d));
    const V zero = hn::Zero(d), one = hn::Set(d, 1.0f), least = hn::Set(d, 1e-6f);
    int i = 0;
    for (; i + n <= count; i += n) {
        V mr, mg, mb, ma;
        hn::LoadInterleaved4(d, mask + 4 * i, mr, mg, mb, ma);
        V in = hardened(d, mr);
        V m2 = hn::Mul(in, in);
        V m4 = hn::Mul(m2, m2);
        auto partial = hn::And(hn::Gt(in, zero), hn::Lt(m4, one));
        if (hn::AllFalse(d, partial)) continue;
        V s0, s1, s2, s3, p0, p1, p2, p3, c0, c1, c2, c3, o0, o1, o2, o3;
        hn::LoadInterleaved4(d, picture + 4 * i, s0, s1, s2, s3);
        hn::LoadInterleaved4(d, fill + 4 * i, p0, p1, p2, p3);
        hn::LoadInterleaved4(d, blurred + 4 * i, c0, c1, c2, c3);
        hn::LoadInterleaved4(d, out + 4 * i, o0, o1, o2, o3);
        V keep = hn::Mul(zero, hn::Sub(one, s3));
        // 0 where nothing of the interior reaches (no 0 / 0).
        auto reached = hn::Ge(c3, least);
        V rest = hn::Sub(one, m4), outside = hn::Sub(one, in);
        auto colour = [&](V s, V blur, V under, V kept) {
            V b = sane(d, hn::Add(s, keep));
            V estimate = hn::IfThenElseZero(reached, sane(d, hn::Div(blur, c3)));
            V f = sane(d, hn::Add(hn::Mul(b, m4), hn::Mul(estimate, rest)));
            return hn::IfThenElse(partial, sane(d, hn::Add(hn::Mul(f, in), hn::Mul(under, outside))), kept);
        };
        V a = sane(d, hn::Add(s3, keep));
        V alpha = hn::IfThenElse(partial, sane(d, hn::Add(hn::Mul(a, in), hn::Mul(p3, outside))), o3);
        hn::StoreInterleaved4(colour(s0, c0, p0, o0), colour(s1, c1, p1, o1), colour(s2, c2, p2, o2), alpha, d,
                              out + 4 * i);
    }
    if (i < count) pullReference(out + 4 * i, picture + 4 * i, mask + 4 * i, fill + 4 * i, blurred + 4 * i, count - i);
}

} // namespace korvel::MatteKernels::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace korvel::MatteKernels {

HWY_EXPORT(Blend);
HWY_EXPORT(Weigh);
HWY_EXPORT(Pull);

namespace {
// 1.02 as the single-precision constant it is written as.
inline float hardened(float red) {
    float v = ColorMath::sane(red) * 1.02f;
    return v > 0 ? (v < 1 ? v : 1.0f) : 0.0f;
}
} // namespace

void blend(float* out, float* inside, const float* picture, const float* mask, const float* fill, int count) {
    HWY_DYNAMIC_DISPATCH(Blend)(out, inside, picture, mask, fill, count);
}

void blendReference(float* out, float* inside, const float* picture, const float* mask, const float* fill, int count) {
    for (int i = 0; i < count; ++i, out += 4, picture += 4, mask += 4, fill += 4) {
        float in = hardened(mask[0]);
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

void pull(float* out, const float* picture, const float* mask, const float* fill, const float* blurred, int count) {
    HWY_DYNAMIC_DISPATCH(Pull)(out, picture, mask, fill, blurred, count);
}

void pullReference(float* out, const float* picture, const float* mask, const float* fill, const float* blurred,
                   int count) {
    for (int i = 0; i < count; ++i, out += 4, picture += 4, mask += 4, fill += 4, blurred += 4) {
        float in = hardened(mask[0]);
        float m2 = in * in, m4 = m2 * m2;
        if (!(in > 0 && m4 < 1)) continue;
        float keep = 1 - picture[3];
        float d = blurred[3];
        for (int c = 0; c < 4; ++c) {
            float b = ColorMath::sane(picture[c] + 0.0f * keep);
            float f = b;
            if (c < 3) {
                float estimate = d >= 1e-6f ? ColorMath::sane(blurred[c] / d) : 0.0f;
                f = ColorMath::sane(b * m4 + estimate * (1 - m4));
            }
            out[c] = ColorMath::sane(f * in + fill[c] * (1 - in));
        }
    }
}

void weigh(float* out, const float* picture, const float* mask, int count) {
    HWY_DYNAMIC_DISPATCH(Weigh)(out, picture, mask, count);
}

void weighReference(float* out, const float* picture, const float* mask, int count) {
    for (int i = 0; i < count; ++i, out += 4, picture += 4, mask += 4) {
        float in = hardened(mask[0]);
        float m2 = in * in;
        float m4 = m2 * m2;
        float keep = 1 - picture[3];
        for (int c = 0; c < 3; ++c) out[c] = ColorMath::sane(picture[c] + 0.0f * keep) * m4;
        out[3] = m4;
    }
}

} // namespace korvel::MatteKernels
#endif
