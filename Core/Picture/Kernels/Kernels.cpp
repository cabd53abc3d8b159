#include "Core/Picture/Kernels/Kernels.hpp"

#include "Core/Picture/Color/ColorMath.hpp"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <limits>
#include <cmath>
#include <cstdint>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "Core/Picture/Kernels/Kernels.cpp"
#include <hwy/foreach_target.h> // IWYU pragma: keep

#include <hwy/contrib/math/math-inl.h>
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace korvel::Kernels::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using D = hn::ScalableTag<float>;
using V = hn::Vec<D>;

using ColorMath::alpha709;
using ColorMath::beta709;

// The largest argument whose exponential is a float.
constexpr float expTop = 88.72283f;

// e^x, infinite past the float range as the library's is.
HWY_INLINE V exp(D d, V x) {
    return hn::IfThenElse(hn::Gt(x, hn::Set(d, expTop)), hn::Set(d, std::numeric_limits<float>::infinity()), hn::Exp(d, x));
}

// log2 x for x > 0 and normal (others give finite nonsense): the exponent,
// and log2 of the mantissa in [sqrt(1/2), sqrt(2)) by a near-minimax
// polynomial in it, within 1e-7.
HWY_INLINE V log2(D d, V x) {
    const hn::RebindToSigned<D> di;
    auto bits = hn::BitCast(di, x);
    auto e = hn::ShiftRight<23>(hn::Sub(bits, hn::Set(di, 0x3f3504f3)));
    V f = hn::Sub(hn::BitCast(d, hn::Sub(bits, hn::ShiftLeft<23>(e))), hn::Set(d, 1.0f));
    // The mantissa's range mapped onto [-1, 1].
    V t = hn::MulAdd(f, hn::Set(d, 2.8284270763397217f), hn::Set(d, -0.17157287895679474f));
    V q = hn::Set(d, 3.0056075047468767e-05f);
    for (float c : {-0.00010090016439789906f, 0.0002760721545200795f, -0.0009661648073233664f, 0.003528088564053178f,
                    -0.013203633949160576f, 0.052641820162534714f, -0.23572926223278046f, 1.4006307125091553f}) {
        q = hn::MulAdd(q, t, hn::Set(d, c));
    }
    return hn::MulAdd(f, q, hn::ConvertTo(d, e));
}

// 2^y, within 1.1e-7 relative: infinite past the float range, 0 below
// 2^-125.
HWY_INLINE V exp2(D d, V y) {
    const hn::RebindToSigned<D> di;
    V c = hn::Min(hn::Max(y, hn::Set(d, -125.0f)), hn::Set(d, 128.0f));
    V k = hn::Round(c);
    V t = hn::Add(hn::Sub(c, k), hn::Sub(c, k)); // in [-1, 1]
    V v = hn::Set(d, 2.4158507585525513e-06f);
    for (float a : {4.187633749097586e-05f, 0.0006011285586282611f, 0.006937908940017223f, 0.06005662679672241f,
                    0.3465735912322998f, 1.0f}) {
        v = hn::MulAdd(v, t, hn::Set(d, a));
    }
    // 2^k as 2^(k - 1) x 2, so that k = 128 reaches the top of the range.
    V half = hn::BitCast(d, hn::ShiftLeft<23>(hn::Add(hn::ConvertTo(di, k), hn::Set(di, 126))));
    v = hn::Mul(hn::Mul(v, half), hn::Set(d, 2.0f));
    v = hn::IfThenElse(hn::Gt(y, hn::Set(d, 128.0f)), hn::Set(d, std::numeric_limits<float>::infinity()), v);
    return hn::IfThenZeroElse(hn::Lt(y, hn::Set(d, -125.0f)), v);
}

// x^p for x > 0, in registers.
HWY_INLINE V power(D d, V x, float p) { return exp(d, hn::Mul(hn::Set(d, p), hn::Log(d, x))); }

// The same, within 1e-6 relative where p log2 x is within the float range:
// for curves whose results are not mixed by a matrix.
HWY_INLINE V quickPower(D d, V x, float p) { return exp2(d, hn::Mul(hn::Set(d, p), log2(d, x))); }

// The exact curves, odd around 0, NaN to 0, infinities kept.
template <class F>
HWY_INLINE V odd(D d, V x, F magnitude) {
    V m = hn::Abs(x);
    V v = magnitude(m);
    v = hn::IfThenElse(hn::IsInf(m), m, v);
    v = hn::IfThenElse(hn::Lt(x, hn::Zero(d)), hn::Neg(v), v);
    return hn::IfThenZeroElse(hn::IsNaN(x), v);
}

HWY_INLINE V encode709(D d, V x) {
    return odd(d, x, [d](V m) {
        V curved = hn::Sub(hn::Mul(hn::Set(d, alpha709), quickPower(d, m, 0.45f)), hn::Set(d, alpha709 - 1));
        return hn::IfThenElse(hn::Lt(m, hn::Set(d, beta709)), hn::Mul(m, hn::Set(d, 4.5f)), curved);
    });
}

HWY_INLINE V decode709(D d, V x) {
    return odd(d, x, [d](V m) {
        V base = hn::Mul(hn::Add(m, hn::Set(d, alpha709 - 1)), hn::Set(d, 1.0f / alpha709));
        V curved = quickPower(d, base, 1.0f / 0.45f);
        return hn::IfThenElse(hn::Lt(m, hn::Set(d, beta709 * 4.5f)), hn::Div(m, hn::Set(d, 4.5f)), curved);
    });
}

using ColorMath::hlgA;
using ColorMath::hlgB;
using ColorMath::hlgC;
constexpr float hlgDisplay = 203.0f / 1000.0f;

HWY_INLINE V encodeHLG(D d, V x) {
    return odd(d, x, [d](V m) {
        V display = hn::Mul(m, hn::Set(d, hlgDisplay));
        V scene = hn::IfThenZeroElse(hn::Eq(display, hn::Zero(d)), power(d, display, 1.0f / 1.2f));
        V low = hn::Sqrt(hn::Mul(hn::Set(d, 3.0f), scene));
        V high = hn::MulAdd(hn::Set(d, hlgA), hn::Log(d, hn::MulSub(hn::Set(d, 12.0f), scene, hn::Set(d, hlgB))),
                            hn::Set(d, hlgC));
        return hn::IfThenElse(hn::Le(scene, hn::Set(d, 1.0f / 12.0f)), low, high);
    });
}

HWY_INLINE V decodeHLG(D d, V x) {
    return odd(d, x, [d](V m) {
        V low = hn::Div(hn::Mul(m, m), hn::Set(d, 3.0f));
        V high = hn::Div(hn::Add(exp(d, hn::Div(hn::Sub(m, hn::Set(d, hlgC)), hn::Set(d, hlgA))), hn::Set(d, hlgB)),
                         hn::Set(d, 12.0f));
        V scene = hn::IfThenElse(hn::Le(m, hn::Set(d, 0.5f)), low, high);
        V display = hn::IfThenZeroElse(hn::Eq(scene, hn::Zero(d)), power(d, scene, 1.2f));
        return hn::Div(display, hn::Set(d, hlgDisplay));
    });
}

HWY_INLINE void apply(D d, const ColorMath::Matrix3& m, V& r, V& g, V& b) {
    V nr = hn::MulAdd(hn::Set(d, m[2]), b, hn::MulAdd(hn::Set(d, m[1]), g, hn::Mul(hn::Set(d, m[0]), r)));
    V ng = hn::MulAdd(hn::Set(d, m[5]), b, hn::MulAdd(hn::Set(d, m[4]), g, hn::Mul(hn::Set(d, m[3]), r)));
    V nb = hn::MulAdd(hn::Set(d, m[8]), b, hn::MulAdd(hn::Set(d, m[7]), g, hn::Mul(hn::Set(d, m[6]), r)));
    r = nr, g = ng, b = nb;
}

// Runs body(r, g, b, a) on every pixel, whole vectors first, then the rest
// through a padded copy so that every pixel takes the same arithmetic. One
// call of the body, so that it is inlined.
template <class F>
HWY_INLINE void pixels(float* HWY_RESTRICT p, int count, F body) {
    const D d;
    const int n = static_cast<int>(hn::Lanes(d));
    HWY_ALIGN float rest[4 * 16] = {};
    for (int i = 0; i < count; i += n, p += 4 * n) {
        const bool whole = i + n <= count;
        const size_t floats = std::min(static_cast<size_t>(whole ? n : count - i) * 4, std::size(rest));
        float* q = p;
        if (!whole) {
            for (size_t k = 0; k < floats; ++k) rest[k] = p[k];
            q = rest;
        }
        V r, g, b, a;
        hn::LoadInterleaved4(d, q, r, g, b, a);
        body(r, g, b, a);
        hn::StoreInterleaved4(r, g, b, a, d, q);
        if (!whole) {
            for (size_t k = 0; k < floats; ++k) p[k] = rest[k];
        }
    }
}

void ToGamma(float* HWY_RESTRICT p, int count, int space) {
    const D d;
    const bool hlg = space == static_cast<int>(ColorSpace::itur2100HLG);
    pixels(p, count, [&](V& r, V& g, V& b, V& a) {
        V one = hn::Set(d, 1.0f);
        // Opaque pixels, the usual case, keep their values without a division.
        if (!hn::AllTrue(d, hn::Eq(a, one))) {
            V inv = hn::IfThenElseZero(hn::Gt(a, hn::Set(d, 1e-6f)), hn::Div(one, a));
            inv = hn::IfThenElse(hn::Eq(a, one), one, inv);
            r = hn::Mul(r, inv), g = hn::Mul(g, inv), b = hn::Mul(b, inv);
        }
        if (hlg) {
            apply(d, ColorMath::bt709ToBt2020, r, g, b);
            r = encodeHLG(d, r), g = encodeHLG(d, g), b = encodeHLG(d, b);
        } else {
            r = encode709(d, r), g = encode709(d, g), b = encode709(d, b);
        }
    });
}

HWY_INLINE void fromGamma(D d, bool hlg, V& r, V& g, V& b, V a) {
    if (hlg) {
        r = decodeHLG(d, r), g = decodeHLG(d, g), b = decodeHLG(d, b);
        apply(d, ColorMath::bt2020ToBt709, r, g, b);
    } else {
        r = decode709(d, r), g = decode709(d, g), b = decode709(d, b);
    }
    r = hn::Mul(r, a), g = hn::Mul(g, a), b = hn::Mul(b, a);
}

void FromGamma(float* HWY_RESTRICT p, int count, int space) {
    const D d;
    const bool hlg = space == static_cast<int>(ColorSpace::itur2100HLG);
    pixels(p, count, [&](V& r, V& g, V& b, V& a) { fromGamma(d, hlg, r, g, b, a); });
}

void Over(float* HWY_RESTRICT dst, const float* HWY_RESTRICT src, int count) {
    const D d;
    const int n = static_cast<int>(hn::Lanes(d));
    const V one = hn::Set(d, 1.0f);
    int i = 0;
    for (; i + n <= count; i += n, dst += 4 * n, src += 4 * n) {
        V sr, sg, sb, sa, dr, dg, db, da;
        hn::LoadInterleaved4(d, src, sr, sg, sb, sa);
        hn::LoadInterleaved4(d, dst, dr, dg, db, da);
        V keep = hn::Sub(one, sa);
        hn::StoreInterleaved4(hn::MulAdd(dr, keep, sr), hn::MulAdd(dg, keep, sg), hn::MulAdd(db, keep, sb),
                              hn::MulAdd(da, keep, sa), d, dst);
    }
    for (; i < count; ++i, dst += 4, src += 4) {
        float keep = 1 - src[3];
        for (int c = 0; c < 4; ++c) dst[c] = src[c] + dst[c] * keep;
    }
}

void Sanitise(float* HWY_RESTRICT v, size_t count) {
    const D d;
    const size_t n = hn::Lanes(d);
    size_t i = 0;
    for (; i + n <= count; i += n) {
        V x = hn::LoadU(d, v + i);
        hn::StoreU(hn::IfThenElseZero(hn::Eq(hn::Sub(x, x), hn::Zero(d)), x), d, v + i);
    }
    for (; i < count; ++i) v[i] = ColorMath::sane(v[i]);
}

void Accumulate(float* HWY_RESTRICT dst, const float* HWY_RESTRICT src, float weight, size_t count, bool first) {
    const D d;
    const size_t n = hn::Lanes(d);
    const V w = hn::Set(d, weight);
    size_t i = 0;
    if (first) {
        for (; i + n <= count; i += n) hn::StoreU(hn::Mul(hn::LoadU(d, src + i), w), d, dst + i);
        for (; i < count; ++i) dst[i] = src[i] * weight;
    } else {
        for (; i + n <= count; i += n) hn::StoreU(hn::MulAdd(hn::LoadU(d, src + i), w, hn::LoadU(d, dst + i)), d, dst + i);
        for (; i < count; ++i) dst[i] += src[i] * weight;
    }
}

// The soft-light blend of a source over a backdrop, in the scalar step's
// order of operations: on extended values fused products would drift.
HWY_INLINE V softLight(D d, V b, V s) {
    const V one = hn::Set(d, 1.0f), two = hn::Set(d, 2.0f);
    V dark = hn::Sub(b, hn::Mul(hn::Mul(hn::Sub(one, hn::Mul(two, s)), b), hn::Sub(one, b)));
    V cb = hn::IfThenElseZero(hn::Gt(b, hn::Zero(d)), b);
    V poly = hn::Mul(hn::Add(hn::Mul(hn::Sub(hn::Mul(hn::Set(d, 16.0f), cb), hn::Set(d, 12.0f)), cb), hn::Set(d, 4.0f)), cb);
    V dd = hn::IfThenElse(hn::Le(cb, hn::Set(d, 0.25f)), poly, hn::Sqrt(cb));
    V light = hn::Add(b, hn::Mul(hn::Sub(hn::Mul(two, s), one), hn::Sub(dd, b)));
    return hn::IfThenElse(hn::Le(s, hn::Set(d, 0.5f)), dark, light);
}

// The grain, then `after` on the pixels while they are in registers.
template <class F>
HWY_INLINE void grain(float* HWY_RESTRICT p, int count, const GrainRow& row, F after) {
    const D d;
    const hn::RebindToSigned<D> di;
    const int n = static_cast<int>(hn::Lanes(d));
    constexpr int tileSize = 512;
    // Up to this many pixels at once, and tile columns in a window of them.
    constexpr int chunk = 256;
    constexpr int window = 1024;
    const V amplitude = hn::Set(d, row.amplitude), grey = hn::Set(d, row.grey), dv = hn::Set(d, row.dv);
    HWY_ALIGN float rest[4 * 16] = {};
    HWY_ALIGN float fractions[chunk + 16];
    HWY_ALIGN int32_t columns[chunk + 16];
    HWY_ALIGN float lower[window + 16];
    HWY_ALIGN float upper[window + 16];
    const hn::ScalableTag<double> dd;
    const hn::Rebind<float, decltype(dd)> df;
    const hn::Rebind<int32_t, decltype(dd)> di32;
    const int nd = static_cast<int>(hn::Lanes(dd));
    const auto step = hn::Set(dd, row.step), shift = hn::Set(dd, row.shift), half = hn::Set(dd, 0.5);
    for (int from = 0; from < count; from += chunk, p += 4 * chunk) {
        const int m = std::min(chunk, count - from);
        const int padded = (m + n - 1) / n * n;
        // Each column found from its pixel as level() finds it, counted
        // from the chunk's first; floors and differences are exact in double.
        double first = 0;
        for (int j = 0; j < padded; j += nd) {
            auto u = hn::Sub(hn::Sub(hn::Mul(hn::Iota(dd, row.x + (from + j)), step), shift), half);
            auto whole = hn::Floor(u);
            if (j == 0) first = hn::GetLane(whole);
            hn::Store(hn::DemoteTo(df, hn::Sub(u, whole)), df, fractions + j);
            hn::Store(hn::DemoteTo(di32, hn::Sub(whole, hn::Set(dd, first))), di32, columns + j);
        }
        // The two tile rows over the chunk's columns, unwrapped: columns
        // grow with the pixels, so a vector's lie within a few lanes of its first.
        const int span = columns[padded - 1] + 2;
        const bool windowed = span + n <= window;
        const int start = static_cast<int>(first - tileSize * std::floor(first / tileSize));
        if (windowed) {
            for (int k = 0; k < span + n;) {
                const int at = (start + k) % tileSize, run = std::min(span + n - k, tileSize - at);
                std::copy(row.lower + at, row.lower + at + run, lower + k);
                std::copy(row.upper + at, row.upper + at + run, upper + k);
                k += run;
            }
        }
        for (int i = 0; i < m; i += n) {
            V du = hn::Load(d, fractions + i);
            auto u0 = hn::Load(di, columns + i);
            auto u1 = hn::Add(u0, hn::Set(di, 1));
            V l0, l1, h0, h1;
            const int base = columns[i];
            if (windowed && columns[i + n - 1] + 1 - base < n) {
                const V lv = hn::LoadU(d, lower + base), uv = hn::LoadU(d, upper + base);
                const auto i0 = hn::IndicesFromVec(d, hn::Sub(u0, hn::Set(di, base)));
                const auto i1 = hn::IndicesFromVec(d, hn::Sub(u1, hn::Set(di, base)));
                l0 = hn::TableLookupLanes(lv, i0), l1 = hn::TableLookupLanes(lv, i1);
                h0 = hn::TableLookupLanes(uv, i0), h1 = hn::TableLookupLanes(uv, i1);
            } else if (windowed) {
                l0 = hn::GatherIndex(d, lower, u0), l1 = hn::GatherIndex(d, lower, u1);
                h0 = hn::GatherIndex(d, upper, u0), h1 = hn::GatherIndex(d, upper, u1);
            } else {
                const auto wrap = hn::Set(di, tileSize - 1), offset = hn::Set(di, start);
                u0 = hn::And(hn::Add(u0, offset), wrap), u1 = hn::And(hn::Add(u1, offset), wrap);
                l0 = hn::GatherIndex(d, row.lower, u0), l1 = hn::GatherIndex(d, row.lower, u1);
                h0 = hn::GatherIndex(d, row.upper, u0), h1 = hn::GatherIndex(d, row.upper, u1);
            }
            V bottom = hn::Add(l0, hn::Mul(hn::Sub(l1, l0), du));
            V top = hn::Add(h0, hn::Mul(hn::Sub(h1, h0), du));
            V s = hn::Add(hn::Mul(amplitude, hn::Add(bottom, hn::Mul(hn::Sub(top, bottom), dv))), grey);
            float* at4 = p + static_cast<size_t>(i) * 4;
            const bool whole4 = i + n <= m;
            const size_t floats = std::min(static_cast<size_t>(whole4 ? n : m - i) * 4, std::size(rest));
            if (!whole4) {
                for (size_t k = 0; k < floats; ++k) rest[k] = at4[k];
            }
            float* q = whole4 ? at4 : rest;
            V r, g, b, a;
            hn::LoadInterleaved4(d, q, r, g, b, a);
            r = softLight(d, r, s), g = softLight(d, g, s), b = softLight(d, b, s);
            after(r, g, b, a);
            hn::StoreInterleaved4(r, g, b, a, d, q);
            if (!whole4) {
                for (size_t k = 0; k < floats; ++k) at4[k] = rest[k];
            }
        }
    }
}

void Grain(float* HWY_RESTRICT p, int count, const GrainRow& row) {
    grain(p, count, row, [](V&, V&, V&, V&) {});
}

void GrainFromGamma(float* HWY_RESTRICT p, int count, const GrainRow& row, int space) {
    const D d;
    const bool hlg = space == static_cast<int>(ColorSpace::itur2100HLG);
    grain(p, count, row, [&](V& r, V& g, V& b, V& a) { fromGamma(d, hlg, r, g, b, a); });
}

#if HWY_TARGET != HWY_SCALAR
// The two red neighbours of one green and blue corner of each pixel in a
// vector (one pixel a 128-bit block): lower in `low`, upper in `high`. The
// cube keeps a corner's RGBA entry beside its red neighbour's, so one 8-float
// load fetches both.
template <class DF, class VF = hn::Vec<DF>>
HWY_INLINE void reds(DF d, const float* const* at, int32_t offset, VF& low, VF& high) {
    constexpr size_t N = hn::MaxLanes(DF());
    if constexpr (N == 4) {
        low = hn::LoadU(d, at[0] + offset), high = hn::LoadU(d, at[0] + offset + 4);
    } else if constexpr (N == 8) {
        VF x0 = hn::LoadU(d, at[0] + offset), x1 = hn::LoadU(d, at[1] + offset);
        low = hn::ConcatLowerLower(d, x1, x0), high = hn::ConcatUpperUpper(d, x1, x0);
    } else {
        static_assert(N == 16, "one pixel a block");
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3
        const hn::Half<DF> h;
        VF x = hn::Combine(d, hn::LoadU(h, at[1] + offset), hn::LoadU(h, at[0] + offset));
        VF y = hn::Combine(d, hn::LoadU(h, at[3] + offset), hn::LoadU(h, at[2] + offset));
        low = VF{_mm512_shuffle_f32x4(x.raw, y.raw, _MM_SHUFFLE(2, 0, 2, 0))};
        high = VF{_mm512_shuffle_f32x4(x.raw, y.raw, _MM_SHUFFLE(3, 1, 3, 1))};
#endif
    }
}

// Pixels as they lie, one a block: the eight corners' RGBA entries are
// interpolated as whole blocks in the step's order, with no gathers and no
// deinterleaving.
template <class DF>
HWY_INLINE void cubeBlocks(DF d, float* HWY_RESTRICT p, int count, const float* HWY_RESTRICT cube, int dimension) {
    using VF = hn::Vec<DF>;
    const hn::RebindToSigned<DF> di;
    using VI = hn::Vec<decltype(di)>;
    constexpr size_t N = hn::MaxLanes(DF());
    constexpr int per = static_cast<int>(N / 4);
    const VF top = hn::Set(d, static_cast<float>(dimension - 1));
    const int32_t g1 = dimension * 4, b1 = dimension * dimension * 4;
    auto mix = [&](VF a, VF b, VF t) { return hn::Add(a, hn::Mul(hn::Sub(b, a), t)); };
    // Per lane of a block: red, green and blue strides; alpha has none.
    HWY_ALIGN int32_t strides[N];
    HWY_ALIGN int32_t offsets[N];
    for (size_t k = 0; k < N; ++k) strides[k] = k % 4 == 0 ? 4 : k % 4 == 1 ? g1 : k % 4 == 2 ? b1 : 0;
    const VI stride = hn::Load(di, strides);
    const auto alpha = hn::RebindMask(d, hn::Eq(hn::And(hn::Iota(di, 0), hn::Set(di, 3)), hn::Set(di, 3)));
    // Inlined by force: too large for the compiler to inline on its own.
    auto body = [&](float* HWY_RESTRICT q) __attribute__((always_inline)) {
        VF v = hn::LoadU(d, q);
        // Clamped to the cube; not a number counts as 0.
        VF c = hn::IfThenElseZero(hn::Gt(v, hn::Zero(d)), hn::IfThenElse(hn::Lt(v, hn::Set(d, 1.0f)), hn::Mul(v, top), top));
        VI i = hn::Min(hn::ConvertTo(di, c), hn::Set(di, dimension - 2));
        VF f = hn::Sub(c, hn::ConvertTo(d, i));
        VI o = hn::Mul(i, stride);
        o = hn::Add(o, hn::Shuffle2301(o));
        o = hn::Add(o, hn::Shuffle1032(o));
        hn::Store(o, di, offsets);
        const float* at[per];
        for (int k = 0; k < per; ++k) at[k] = cube + offsets[4 * k];
        VF dr = hn::Broadcast<0>(f), dg = hn::Broadcast<1>(f), db = hn::Broadcast<2>(f);
        VF c000, c100, c010, c110, c001, c101, c011, c111;
        reds(d, at, 0, c000, c100);
        reds(d, at, g1, c010, c110);
        reds(d, at, b1, c001, c101);
        reds(d, at, b1 + g1, c011, c111);
        VF v00 = mix(c000, c100, dr), v10 = mix(c010, c110, dr);
        VF v01 = mix(c001, c101, dr), v11 = mix(c011, c111, dr);
        VF out = mix(mix(v00, v10, dg), mix(v01, v11, dg), db);
        hn::StoreU(hn::IfThenElse(alpha, v, out), d, q);
    };
    // The rest through a padded copy: zeros index the cube's first corner.
    // One call of the body, so that it is inlined.
    HWY_ALIGN float rest[N] = {};
    for (int i = 0; i < count; i += per, p += N) {
        const bool whole = i + per <= count;
        const size_t floats = std::min(static_cast<size_t>(whole ? per : count - i) * 4, N);
        float* q = p;
        if (!whole) {
            for (size_t k = 0; k < floats; ++k) rest[k] = p[k];
            q = rest;
        }
        body(q);
        if (!whole) {
            for (size_t k = 0; k < floats; ++k) p[k] = rest[k];
        }
    }
}

#endif

void Cube(float* HWY_RESTRICT p, int count, const float* HWY_RESTRICT cube, int dimension) {
    const D d;
#if HWY_TARGET != HWY_SCALAR
    if constexpr (hn::MaxLanes(D()) >= 4 && hn::MaxLanes(D()) <= 16) {
        cubeBlocks(d, p, count, cube, dimension);
        return;
    }
#endif
    {
        const hn::RebindToSigned<D> di;
        const V top = hn::Set(d, static_cast<float>(dimension - 1));
        const int32_t g1 = dimension * 4, b1 = dimension * dimension * 4;
        auto index = [&](V v, hn::Vec<decltype(di)>& i, V& f) {
            // Clamped to the cube; not a number counts as 0.
            V c = hn::IfThenElseZero(hn::Gt(v, hn::Zero(d)), hn::IfThenElse(hn::Lt(v, hn::Set(d, 1.0f)), hn::Mul(v, top), top));
            i = hn::Min(hn::ConvertTo(di, c), hn::Set(di, dimension - 2));
            f = hn::Sub(c, hn::ConvertTo(d, i));
        };
        auto mix = [&](V a, V b, V t) { return hn::Add(a, hn::Mul(hn::Sub(b, a), t)); };
        pixels(p, count, [&](V& r, V& g, V& b, V&) {
            hn::Vec<decltype(di)> r0, g0, b0;
            V dr, dg, db;
            index(r, r0, dr);
            index(g, g0, dg);
            index(b, b0, db);
            auto at = hn::Add(hn::Add(hn::ShiftLeft<2>(r0), hn::Mul(g0, hn::Set(di, g1))), hn::Mul(b0, hn::Set(di, b1)));
            V out[3];
            for (int c = 0; c < 3; ++c) {
                const float* base = cube + c;
                auto corner = [&](int32_t offset) { return hn::GatherIndex(d, base, hn::Add(at, hn::Set(di, offset))); };
                V v00 = mix(corner(0), corner(4), dr), v10 = mix(corner(g1), corner(g1 + 4), dr);
                V v01 = mix(corner(b1), corner(b1 + 4), dr), v11 = mix(corner(b1 + g1), corner(b1 + g1 + 4), dr);
                out[c] = mix(mix(v00, v10, dg), mix(v01, v11, dg), db);
            }
            r = out[0], g = out[1], b = out[2];
        });
    }
}

} // namespace korvel::Kernels::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace korvel::Kernels {

HWY_EXPORT(ToGamma);
HWY_EXPORT(FromGamma);
HWY_EXPORT(Over);
HWY_EXPORT(Sanitise);
HWY_EXPORT(Accumulate);
HWY_EXPORT(Grain);
HWY_EXPORT(GrainFromGamma);
HWY_EXPORT(Cube);

namespace {
std::atomic<bool> scalar{false};
} // namespace

void toGamma(float* rgba, int count, ColorSpace space) {
    HWY_DYNAMIC_DISPATCH(ToGamma)(rgba, count, static_cast<int>(space));
}
void fromGamma(float* rgba, int count, ColorSpace space) {
    HWY_DYNAMIC_DISPATCH(FromGamma)(rgba, count, static_cast<int>(space));
}
void sanitise(float* values, size_t count) { HWY_DYNAMIC_DISPATCH(Sanitise)(values, count); }
void over(float* dst, const float* src, int count) { HWY_DYNAMIC_DISPATCH(Over)(dst, src, count); }
void grain(float* rgba, int count, const GrainRow& row) { HWY_DYNAMIC_DISPATCH(Grain)(rgba, count, row); }
void grainFromGamma(float* rgba, int count, const GrainRow& row, ColorSpace space) {
    HWY_DYNAMIC_DISPATCH(GrainFromGamma)(rgba, count, row, static_cast<int>(space));
}
void accumulate(float* dst, const float* src, float weight, size_t count, bool first) {
    HWY_DYNAMIC_DISPATCH(Accumulate)(dst, src, weight, count, first);
}

void cube(float* rgba, int count, const float* cube, int dimension) {
    HWY_DYNAMIC_DISPATCH(Cube)(rgba, count, cube, dimension);
}

void useReferences(bool on) { scalar.store(on, std::memory_order_relaxed); }
bool references() { return scalar.load(std::memory_order_relaxed); }

} // namespace korvel::Kernels
#endif
