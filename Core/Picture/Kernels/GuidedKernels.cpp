#include "Core/Picture/Kernels/GuidedKernels.hpp"

#include "Core/Picture/Color/ColorMath.hpp"

#include <algorithm>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "Core/Picture/Kernels/GuidedKernels.cpp"
#include <hwy/foreach_target.h> // IWYU pragma: keep

#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace korvel::GuidedKernels::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using D = hn::ScalableTag<float>;
using V = hn::Vec<D>;
// Doubles, and the floats that fill as many lanes.
using DD = hn::ScalableTag<double>;
using DF = hn::Rebind<float, DD>;

HWY_INLINE V sane(D d, V x) { return hn::IfThenElseZero(hn::Eq(hn::Sub(x, x), hn::Zero(d)), x); }

void Inputs(float* HWY_RESTRICT guide, float* HWY_RESTRICT p, float* HWY_RESTRICT ip, float* HWY_RESTRICT ii,
            const float* HWY_RESTRICT picture, const float* HWY_RESTRICT top, const float* HWY_RESTRICT bottom,
            float dv, int count) {
    const D d;
    const int n = static_cast<int>(hn::Lanes(d));
    const V kr = hn::Set(d, 0.2126f), kg = hn::Set(d, 0.7152f), kb = hn::Set(d, 0.0722f), down = hn::Set(d, dv);
    int i = 0;
    for (; i + n <= count; i += n) {
        V r, g, b, a;
        hn::LoadInterleaved4(d, picture + 4 * i, r, g, b, a);
        V y = sane(d, hn::Add(hn::Add(hn::Mul(kr, r), hn::Mul(kg, g)), hn::Mul(kb, b)));
        V t = hn::LoadU(d, top + i), u = hn::LoadU(d, bottom + i);
        V m = hn::Add(t, hn::Mul(hn::Sub(u, t), down));
        hn::StoreU(y, d, guide + i);
        hn::StoreU(m, d, p + i);
        hn::StoreU(hn::Mul(y, m), d, ip + i);
        hn::StoreU(hn::Mul(y, y), d, ii + i);
    }
    if (i < count) {
        inputsReference(guide + i, p + i, ip + i, ii + i, picture + 4 * i, top + i, bottom + i, dv, count - i);
    }
}

template <bool adding>
HWY_INLINE void slide(double* HWY_RESTRICT sums, const float* HWY_RESTRICT row, int count) {
    const DD dd;
    const DF df;
    const int n = static_cast<int>(hn::Lanes(dd));
    int i = 0;
    for (; i + n <= count; i += n) {
        auto s = hn::LoadU(dd, sums + i), v = hn::PromoteTo(dd, hn::LoadU(df, row + i));
        hn::StoreU(adding ? hn::Add(s, v) : hn::Sub(s, v), dd, sums + i);
    }
    for (; i < count; ++i) sums[i] = adding ? sums[i] + row[i] : sums[i] - row[i];
}

void Add(double* HWY_RESTRICT sums, const float* HWY_RESTRICT row, int count) { slide<true>(sums, row, count); }
void Subtract(double* HWY_RESTRICT sums, const float* HWY_RESTRICT row, int count) { slide<false>(sums, row, count); }

void Means(float* HWY_RESTRICT out, const double* HWY_RESTRICT high, const double* HWY_RESTRICT low, double n,
           int count) {
    const DD dd;
    const DF df;
    const int lanes = static_cast<int>(hn::Lanes(dd));
    const auto size = hn::Set(dd, n);
    int i = 0;
    for (; i + lanes <= count; i += lanes) {
        auto sum = hn::Sub(hn::LoadU(dd, high + i), hn::LoadU(dd, low + i));
        hn::StoreU(hn::DemoteTo(df, hn::Div(sum, size)), df, out + i);
    }
    if (i < count) meansReference(out + i, high + i, low + i, n, count - i);
}

void Model(float* HWY_RESTRICT a, float* HWY_RESTRICT b, const float* HWY_RESTRICT meanI,
           const float* HWY_RESTRICT meanP, const float* HWY_RESTRICT meanIP, const float* HWY_RESTRICT meanII,
           float epsilon, int count) {
    const D d;
    const int n = static_cast<int>(hn::Lanes(d));
    const V e = hn::Set(d, epsilon);
    int i = 0;
    for (; i + n <= count; i += n) {
        V mi = hn::LoadU(d, meanI + i), mp = hn::LoadU(d, meanP + i);
        V cov = hn::Sub(hn::LoadU(d, meanIP + i), hn::Mul(mi, mp));
        V var = hn::Sub(hn::LoadU(d, meanII + i), hn::Mul(mi, mi));
        V slope = hn::Div(cov, hn::Add(var, e));
        hn::StoreU(slope, d, a + i);
        hn::StoreU(hn::Sub(mp, hn::Mul(slope, mi)), d, b + i);
    }
    if (i < count) modelReference(a + i, b + i, meanI + i, meanP + i, meanIP + i, meanII + i, epsilon, count - i);
}

void Refined(float* HWY_RESTRICT out, const float* HWY_RESTRICT meanA, const float* HWY_RESTRICT meanB,
             const float* HWY_RESTRICT guide, int count) {
    const D d;
    const int n = static_cast<int>(hn::Lanes(d));
    const V zero = hn::Zero(d), one = hn::Set(d, 1.0f);
    int i = 0;
    for (; i + n <= count; i += n) {
        V v = sane(d, hn::Add(hn::Mul(hn::LoadU(d, meanA + i), hn::LoadU(d, guide + i)), hn::LoadU(d, meanB + i)));
        v = hn::Min(hn::Max(v, zero), one);
        hn::StoreInterleaved4(v, v, v, one, d, out + 4 * i);
    }
    if (i < count) refinedReference(out + 4 * i, meanA + i, meanB + i, guide + i, count - i);
}

} // namespace korvel::GuidedKernels::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace korvel::GuidedKernels {

HWY_EXPORT(Inputs);
HWY_EXPORT(Add);
HWY_EXPORT(Subtract);
HWY_EXPORT(Means);
HWY_EXPORT(Model);
HWY_EXPORT(Refined);

void inputs(float* guide, float* p, float* ip, float* ii, const float* picture, const float* top, const float* bottom,
            float dv, int count) {
    HWY_DYNAMIC_DISPATCH(Inputs)(guide, p, ip, ii, picture, top, bottom, dv, count);
}

void inputsReference(float* guide, float* p, float* ip, float* ii, const float* picture, const float* top,
                     const float* bottom, float dv, int count) {
    for (int i = 0; i < count; ++i, picture += 4) {
        float y = ColorMath::sane(ColorMath::luma(picture[0], picture[1], picture[2]));
        float m = top[i] + (bottom[i] - top[i]) * dv;
        guide[i] = y;
        p[i] = m;
        ip[i] = y * m;
        ii[i] = y * y;
    }
}

void add(double* sums, const float* row, int count) { HWY_DYNAMIC_DISPATCH(Add)(sums, row, count); }

void addReference(double* sums, const float* row, int count) {
    for (int i = 0; i < count; ++i) sums[i] += row[i];
}

void subtract(double* sums, const float* row, int count) { HWY_DYNAMIC_DISPATCH(Subtract)(sums, row, count); }

void subtractReference(double* sums, const float* row, int count) {
    for (int i = 0; i < count; ++i) sums[i] -= row[i];
}

void means(float* out, const double* high, const double* low, double n, int count) {
    HWY_DYNAMIC_DISPATCH(Means)(out, high, low, n, count);
}

void meansReference(float* out, const double* high, const double* low, double n, int count) {
    for (int i = 0; i < count; ++i) out[i] = static_cast<float>((high[i] - low[i]) / n);
}

void model(float* a, float* b, const float* meanI, const float* meanP, const float* meanIP, const float* meanII,
           float epsilon, int count) {
    HWY_DYNAMIC_DISPATCH(Model)(a, b, meanI, meanP, meanIP, meanII, epsilon, count);
}

void modelReference(float* a, float* b, const float* meanI, const float* meanP, const float* meanIP,
                    const float* meanII, float epsilon, int count) {
    for (int i = 0; i < count; ++i) {
        float cov = meanIP[i] - meanI[i] * meanP[i];
        float var = meanII[i] - meanI[i] * meanI[i];
        a[i] = cov / (var + epsilon);
        b[i] = meanP[i] - a[i] * meanI[i];
    }
}

void refined(float* out, const float* meanA, const float* meanB, const float* guide, int count) {
    HWY_DYNAMIC_DISPATCH(Refined)(out, meanA, meanB, guide, count);
}

void refinedReference(float* out, const float* meanA, const float* meanB, const float* guide, int count) {
    for (int i = 0; i < count; ++i, out += 4) {
        float v = std::clamp(ColorMath::sane(meanA[i] * guide[i] + meanB[i]), 0.0f, 1.0f);
        out[0] = out[1] = out[2] = v;
        out[3] = 1;
    }
}

} // namespace korvel::GuidedKernels
#endif
