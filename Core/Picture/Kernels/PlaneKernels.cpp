#include "Core/Picture/Kernels/PlaneKernels.hpp"

#include "Core/Picture/Color/ColorMath.hpp"

#include <algorithm>
#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <limits>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "Core/Picture/Kernels/PlaneKernels.cpp"
#include <hwy/foreach_target.h> // IWYU pragma: keep

#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace korvel::PlaneKernels::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using D = hn::ScalableTag<float>;
using V = hn::Vec<D>;

// Wide enough for the widest vector of any target.
constexpr size_t mostLanes = 16;

using ColorMath::alpha709;
using ColorMath::beta709;
using ColorMath::hlgA;
using ColorMath::hlgB;
using ColorMath::hlgC;
constexpr float hlgGamma = 1.2f;
// BT.2020 luminance as the converter derives it from the primaries.
constexpr float kr2020 = 0.26270021f, kg2020 = 0.67799807f, kb2020 = 0.05930172f;
// Display light over the working space's 1.0 (203 of 1000 cd/m2).
constexpr float hlgToWorking = static_cast<float>(1000.0 / 203.0);
constexpr float workingToHlg = static_cast<float>(203.0 / 1000.0);
constexpr float referenceWhite = 203.0f;
constexpr double hlgPeak = 1000.0;

// R'G'B' to Y'CbCr rows, from each matrix's luma weights.
struct YCbCr {
    float y[3], cb[3], cr[3];
};
constexpr YCbCr ycbcr(double kr, double kb) {
    const double kg = 1 - kr - kb;
    return {{float(kr), float(kg), float(kb)},
            {float(-kr / (2 * (1 - kb))), float(-kg / (2 * (1 - kb))), 0.5f},
            {0.5f, float(-kg / (2 * (1 - kr))), float(-kb / (2 * (1 - kr)))}};
}
constexpr YCbCr bt709Matrix = ycbcr(0.2126, 0.0722);
constexpr YCbCr bt2020Matrix = ycbcr(0.2627, 0.0593);

// log2 and 2^x without a division: the exponent's bits, and polynomials
// (Chebyshev fits, within 2e-8) on the mantissa brought to [1/sqrt 2, sqrt 2)
// and on the fraction in [-1/2, 1/2].
HWY_INLINE V log2(D d, V x) {
    const hn::RebindToSigned<D> di;
    auto bits = hn::BitCast(di, x);
    V e = hn::ConvertTo(d, hn::Sub(hn::ShiftRight<23>(bits), hn::Set(di, 127)));
    V m = hn::BitCast(d, hn::Or(hn::And(bits, hn::Set(di, 0x007FFFFF)), hn::Set(di, 0x3F800000)));
    auto above = hn::Gt(m, hn::Set(d, 1.41421356f));
    m = hn::IfThenElse(above, hn::Mul(m, hn::Set(d, 0.5f)), m);
    e = hn::IfThenElse(above, hn::Add(e, hn::Set(d, 1.0f)), e);
    V t = hn::Sub(m, hn::Set(d, 1.0f));
    V p = hn::Set(d, 0.12310968f);
    for (float c : {-0.20586188f, 0.21607823f, -0.23916988f, 0.28790326f, -0.36069327f, 0.48091075f, -0.72134747f,
                    1.44269500f}) {
        p = hn::MulAdd(p, t, hn::Set(d, c));
    }
    return hn::IfThenElse(hn::IsInf(x), x, hn::MulAdd(t, p, e));
}

HWY_INLINE V exp2(D d, V x) {
    const hn::RebindToSigned<D> di;
    V n = hn::Min(hn::Max(hn::Round(x), hn::Set(d, -126.0f)), hn::Set(d, 127.0f));
    V f = hn::Sub(x, n);
    V p = hn::Set(d, 0.00015461445f);
    for (float c : {0.0013400428f, 0.0096180567f, 0.055503272f, 0.24022651f, 0.69314721f, 1.0f}) {
        p = hn::MulAdd(p, f, hn::Set(d, c));
    }
    V scale = hn::BitCast(d, hn::ShiftLeft<23>(hn::Add(hn::ConvertTo(di, n), hn::Set(di, 127))));
    V v = hn::Mul(p, scale);
    v = hn::IfThenElse(hn::Ge(x, hn::Set(d, 128.0f)), hn::Set(d, std::numeric_limits<float>::infinity()), v);
    return hn::IfThenZeroElse(hn::Lt(x, hn::Set(d, -126.0f)), v);
}

HWY_INLINE V exp(D d, V x) { return exp2(d, hn::Mul(x, hn::Set(d, 1.44269504f))); }
HWY_INLINE V log(D d, V x) { return hn::Mul(log2(d, x), hn::Set(d, 0.69314718f)); }

// x^p for x > 0.
HWY_INLINE V power(D d, V x, float p) { return exp2(d, hn::Mul(hn::Set(d, p), log2(d, x))); }

HWY_INLINE V finite(D d, V x) { return hn::IfThenElseZero(hn::Eq(hn::Sub(x, x), hn::Zero(d)), x); }

// The standard-range curves are odd around 0, so extended values survive;
// NaN becomes 0 and infinities stay.
template <class F>
HWY_INLINE V odd(D d, V x, F magnitude) {
    V m = hn::Abs(x);
    V v = hn::IfThenElse(hn::IsInf(m), m, magnitude(m));
    v = hn::IfThenElse(hn::Lt(x, hn::Zero(d)), hn::Neg(v), v);
    return hn::IfThenZeroElse(hn::IsNaN(x), v);
}

HWY_INLINE V decode709(D d, V x) {
    return odd(d, x, [d](V m) {
        V base = hn::Mul(hn::Add(m, hn::Set(d, alpha709 - 1)), hn::Set(d, 1.0f / alpha709));
        return hn::IfThenElse(hn::Lt(m, hn::Set(d, beta709 * 4.5f)), hn::Mul(m, hn::Set(d, 1.0f / 4.5f)),
                              power(d, base, 1.0f / 0.45f));
    });
}

HWY_INLINE V decodeSRGB(D d, V x) {
    return odd(d, x, [d](V m) {
        V base = hn::Mul(hn::Add(m, hn::Set(d, 0.055f)), hn::Set(d, 1.0f / 1.055f));
        return hn::IfThenElse(hn::Le(m, hn::Set(d, 0.04045f)), hn::Mul(m, hn::Set(d, 1.0f / 12.92f)), power(d, base, 2.4f));
    });
}

// On [0, 1] only.
HWY_INLINE V encode709(D d, V m) {
    V curved = hn::Sub(hn::Mul(hn::Set(d, alpha709), power(d, m, 0.45f)), hn::Set(d, alpha709 - 1));
    return hn::IfThenElse(hn::Lt(m, hn::Set(d, beta709)), hn::Mul(m, hn::Set(d, 4.5f)), curved);
}

// The curves' upper branches cost a logarithm or an exponential; vectors
// whose lanes all lie on the lower one skip them.
HWY_INLINE V hlgInverseOETF(D d, V x) {
    x = hn::Max(x, hn::Zero(d));
    V low = hn::Mul(hn::Mul(x, x), hn::Set(d, 1.0f / 3.0f));
    auto upper = hn::Gt(x, hn::Set(d, 0.5f));
    if (hn::AllFalse(d, upper)) return low;
    V high = hn::Mul(hn::Add(exp(d, hn::Mul(hn::Sub(x, hn::Set(d, hlgC)), hn::Set(d, 1.0f / hlgA))), hn::Set(d, hlgB)),
                     hn::Set(d, 1.0f / 12.0f));
    return hn::IfThenElse(upper, high, low);
}

HWY_INLINE V hlgOETF(D d, V x) {
    x = hn::Max(x, hn::Zero(d));
    V low = hn::Sqrt(hn::Mul(hn::Set(d, 3.0f), x));
    auto upper = hn::Gt(x, hn::Set(d, 1.0f / 12.0f));
    if (hn::AllFalse(d, upper)) return low;
    V high = hn::Add(hn::Mul(hn::Set(d, hlgA), log(d, hn::Sub(hn::Mul(hn::Set(d, 12.0f), x), hn::Set(d, hlgB)))),
                     hn::Set(d, hlgC));
    return hn::IfThenElse(upper, high, low);
}

HWY_INLINE V luma2020(D d, V r, V g, V b) {
    V y = hn::Add(hn::Add(hn::Mul(hn::Set(d, kr2020), r), hn::Mul(hn::Set(d, kg2020), g)), hn::Mul(hn::Set(d, kb2020), b));
    return hn::Max(y, hn::Set(d, FLT_MIN));
}

HWY_INLINE void apply(D d, const ColorMath::Matrix3& m, V& r, V& g, V& b) {
    V nr = hn::Add(hn::Add(hn::Mul(hn::Set(d, m[0]), r), hn::Mul(hn::Set(d, m[1]), g)), hn::Mul(hn::Set(d, m[2]), b));
    V ng = hn::Add(hn::Add(hn::Mul(hn::Set(d, m[3]), r), hn::Mul(hn::Set(d, m[4]), g)), hn::Mul(hn::Set(d, m[5]), b));
    V nb = hn::Add(hn::Add(hn::Mul(hn::Set(d, m[6]), r), hn::Mul(hn::Set(d, m[7]), g)), hn::Mul(hn::Set(d, m[8]), b));
    r = nr, g = ng, b = nb;
}

// Source light at or below this many cd/m2 is left as it is by the EETF.
double kneeNits() {
    double top = ColorMath::pqEncode(hlgPeak);
    double maxLum = ColorMath::pqEncode(referenceWhite) / top;
    return ColorMath::pqDecode((1.5 * maxLum - 0.5) * top);
}

// The tone map's gain where light is above the knee, in double as the
// curve is defined; few pixels of a picture get here.
HWY_NOINLINE void toneMapBright(const float* r, const float* g, const float* b, float* rgba, size_t lanes, double knee) {
    for (size_t k = 0; k < lanes; ++k) {
        float cr = r[k], cg = g[k], cb = b[k];
        float luma = ColorMath::luma(cr, cg, cb);
        double nits = luma * static_cast<double>(referenceWhite);
        if (!(nits > knee)) continue;
        float gain = static_cast<float>(ColorMath::eetf(nits, hlgPeak, referenceWhite) / nits);
        cr *= gain, cg *= gain, cb *= gain;
        rgba[k * 4] = ColorMath::sane(std::max(cr, 0.0f));
        rgba[k * 4 + 1] = ColorMath::sane(std::max(cg, 0.0f));
        rgba[k * 4 + 2] = ColorMath::sane(std::max(cb, 0.0f));
    }
}

void Interleave(const float* HWY_RESTRICT r, const float* HWY_RESTRICT g, const float* HWY_RESTRICT b,
                float* HWY_RESTRICT rgba, int count, int curveValue, bool wide, bool toneMap) {
    const D d;
    const size_t n = hn::Lanes(d);
    const auto curve = static_cast<SourceCurve>(curveValue);
    const V one = hn::Set(d, 1.0f);
    const double knee = toneMap ? kneeNits() : 0;
    const V kneeLuma = hn::Set(d, static_cast<float>(knee / referenceWhite));
    HWY_ALIGN float lit[3][mostLanes];
    auto block = [&](const float* pr, const float* pg, const float* pb, float* out) {
        V cr = hn::LoadU(d, pr), cg = hn::LoadU(d, pg), cb = hn::LoadU(d, pb);
        switch (curve) {
        case SourceCurve::none: break;
        case SourceCurve::bt709: cr = decode709(d, cr), cg = decode709(d, cg), cb = decode709(d, cb); break;
        case SourceCurve::srgb: cr = decodeSRGB(d, cr), cg = decodeSRGB(d, cg), cb = decodeSRGB(d, cb); break;
        case SourceCurve::hlg: {
            cr = hlgInverseOETF(d, cr), cg = hlgInverseOETF(d, cg), cb = hlgInverseOETF(d, cb);
            V system = power(d, luma2020(d, cr, cg, cb), hlgGamma - 1.0f);
            V scale = hn::Set(d, hlgToWorking);
            cr = hn::Mul(hn::Mul(cr, system), scale), cg = hn::Mul(hn::Mul(cg, system), scale),
            cb = hn::Mul(hn::Mul(cb, system), scale);
            apply(d, ColorMath::bt2020ToBt709, cr, cg, cb);
            break;
        }
        }
        if (wide && curve != SourceCurve::hlg) apply(d, ColorMath::bt2020ToBt709, cr, cg, cb);
        if (!toneMap) {
            hn::StoreInterleaved4(finite(d, cr), finite(d, cg), finite(d, cb), one, d, out);
            return;
        }
        // What the standard gamut can't show is clipped, not wrapped.
        V zero = hn::Zero(d);
        hn::StoreInterleaved4(finite(d, hn::Max(cr, zero)), finite(d, hn::Max(cg, zero)), finite(d, hn::Max(cb, zero)),
                              one, d, out);
        V luma = hn::Add(hn::Add(hn::Mul(hn::Set(d, 0.2126f), cr), hn::Mul(hn::Set(d, 0.7152f), cg)),
                         hn::Mul(hn::Set(d, 0.0722f), cb));
        if (hn::AllFalse(d, hn::Gt(luma, kneeLuma))) return;
        hn::Store(cr, d, lit[0]);
        hn::Store(cg, d, lit[1]);
        hn::Store(cb, d, lit[2]);
        toneMapBright(lit[0], lit[1], lit[2], out, n, knee);
    };
    const size_t total = static_cast<size_t>(std::max(count, 0));
    size_t i = 0;
    for (; i + n <= total; i += n) block(r + i, g + i, b + i, rgba + 4 * i);
    if (i == total) return;
    // The rest through padded copies, so it takes the same arithmetic.
    HWY_ALIGN float rest[3][mostLanes] = {};
    HWY_ALIGN float out[4 * mostLanes];
    const size_t left = std::min(total - i, mostLanes);
    for (size_t k = 0; k < left; ++k) rest[0][k] = r[i + k], rest[1][k] = g[i + k], rest[2][k] = b[i + k];
    block(rest[0], rest[1], rest[2], out);
    std::copy(out, out + 4 * left, rgba + 4 * i);
}

template <class In>
HWY_INLINE V loadCodes(D d, const In* p) {
    const hn::RebindToSigned<D> di;
    const hn::Rebind<In, D> du;
    return hn::ConvertTo(d, hn::PromoteTo(di, hn::LoadU(du, p)));
}

template <class In>
void YCbCrRowOf(const In* HWY_RESTRICT luma, const In* const* chroma, int count, const Source& source,
                float* HWY_RESTRICT r, float* HWY_RESTRICT g, float* HWY_RESTRICT b, float* HWY_RESTRICT scratch) {
    const D d;
    const auto n = static_cast<int>(hn::Lanes(d));
    const int half = count / 2;
    const float unit = static_cast<float>(1 << (source.bits - 8));
    const float top = static_cast<float>((1 << source.bits) - 1);
    const float lumaOffset = source.fullRange ? 0 : 16 * unit, lumaScale = source.fullRange ? 1 / top : 1 / (219 * unit);
    const float chromaOffset = source.fullRange ? static_cast<float>(1 << (source.bits - 1)) : 128 * unit;
    const float chromaScale = source.fullRange ? 1 / top : 1 / (224 * unit);
    // Sited between two chroma rows: 3/4 of the nearer, 1/4 of the other;
    // on the even columns, halfway between two chroma columns on the odd.
    const int stride = half + 2 * n + 1;
    float* between[2] = {scratch, scratch + stride};
    float* full[2] = {scratch + 2 * stride, scratch + 2 * stride + count + 2 * n};
    for (int c = 0; c < 2; ++c) {
        const In* nearer = chroma[2 * c];
        const In* other = chroma[2 * c + 1];
        float* v = between[c];
        int j = 0;
        for (; j + n <= half; j += n) {
            V mixed = hn::Add(hn::Mul(hn::Set(d, 0.75f), loadCodes(d, nearer + j)), hn::Mul(hn::Set(d, 0.25f), loadCodes(d, other + j)));
            hn::StoreU(hn::Mul(hn::Sub(mixed, hn::Set(d, chromaOffset)), hn::Set(d, chromaScale)), d, v + j);
        }
        for (; j < half; ++j) {
            float mixed = 0.75f * static_cast<float>(nearer[j]) + 0.25f * static_cast<float>(other[j]);
            v[j] = (mixed - chromaOffset) * chromaScale;
        }
        v[half] = v[half - 1];
        float* f = full[c];
        j = 0;
        for (; j + n <= half; j += n) {
            V here = hn::LoadU(d, v + j), next = hn::LoadU(d, v + j + 1);
            hn::StoreInterleaved2(here, hn::Mul(hn::Set(d, 0.5f), hn::Add(here, next)), d, f + 2 * j);
        }
        for (; j < half; ++j) f[2 * j] = v[j], f[2 * j + 1] = 0.5f * (v[j] + v[j + 1]);
    }
    const float* m = source.matrix;
    int x = 0;
    for (; x + n <= count; x += n) {
        V y = hn::Mul(hn::Sub(loadCodes(d, luma + x), hn::Set(d, lumaOffset)), hn::Set(d, lumaScale));
        V u = hn::LoadU(d, full[0] + x), w = hn::LoadU(d, full[1] + x);
        auto row = [&](const float* k) { return hn::Add(hn::Add(hn::Mul(hn::Set(d, k[0]), y), hn::Mul(hn::Set(d, k[1]), u)), hn::Mul(hn::Set(d, k[2]), w)); };
        hn::StoreU(row(m), d, r + x);
        hn::StoreU(row(m + 3), d, g + x);
        hn::StoreU(row(m + 6), d, b + x);
    }
    for (; x < count; ++x) {
        float y = (static_cast<float>(luma[x]) - lumaOffset) * lumaScale, u = full[0][x], w = full[1][x];
        r[x] = m[0] * y + m[1] * u + m[2] * w;
        g[x] = m[3] * y + m[4] * u + m[5] * w;
        b[x] = m[6] * y + m[7] * u + m[8] * w;
    }
}

void YCbCrRow(const void* luma, const void* const* chroma, int count, const Source& source, float* r, float* g, float* b,
              float* scratch) {
    if (source.bits > 8) {
        const auto* c = reinterpret_cast<const uint16_t* const*>(chroma);
        YCbCrRowOf(static_cast<const uint16_t*>(luma), c, count, source, r, g, b, scratch);
    } else {
        const auto* c = reinterpret_cast<const uint8_t* const*>(chroma);
        YCbCrRowOf(static_cast<const uint8_t*>(luma), c, count, source, r, g, b, scratch);
    }
}

// Working-space light (or, for bt709Encoded, straight BT.709 values) to
// the target's gamma values.
HWY_INLINE void toTarget(D d, TargetCurve curve, V& cr, V& cg, V& cb, V a) {
    const V zero = hn::Zero(d), one = hn::Set(d, 1.0f);
    auto clamped = [&](V x) { return hn::Min(hn::Max(hn::IfThenZeroElse(hn::IsNaN(x), x), zero), one); };
    if (curve == TargetCurve::bt709Encoded) {
        // Alpha this near 1 moves no value by a thousandth of a code.
        auto opaque = hn::Le(hn::Abs(hn::Sub(a, one)), hn::Set(d, 1.0f / 65536));
        V er = clamped(cr), eg = clamped(cg), eb = clamped(cb);
        if (!hn::AllTrue(d, opaque)) {
            auto light = [&](V x) { return encode709(d, clamped(hn::Mul(decode709(d, x), a))); };
            er = hn::IfThenElse(opaque, er, light(cr)), eg = hn::IfThenElse(opaque, eg, light(cg)),
            eb = hn::IfThenElse(opaque, eb, light(cb));
        }
        cr = er, cg = eg, cb = eb;
    } else if (curve == TargetCurve::hlg) {
        cr = finite(d, cr), cg = finite(d, cg), cb = finite(d, cb);
        apply(d, ColorMath::bt709ToBt2020, cr, cg, cb);
        V scale = hn::Set(d, workingToHlg);
        cr = hn::Mul(cr, scale), cg = hn::Mul(cg, scale), cb = hn::Mul(cb, scale);
        V inverse = power(d, luma2020(d, cr, cg, cb), (1.0f - hlgGamma) / hlgGamma);
        cr = hlgOETF(d, hn::Mul(cr, inverse)), cg = hlgOETF(d, hn::Mul(cg, inverse)), cb = hlgOETF(d, hn::Mul(cb, inverse));
    } else {
        cr = encode709(d, clamped(cr)), cg = encode709(d, clamped(cg)), cb = encode709(d, clamped(cb));
    }
}

// Video-range codes of `bits` from values in [0, 1] (luma) or [-1/2, 1/2]
// (colour differences), rounded to nearest and held to the code range.
template <class Out>
HWY_INLINE void storeCodes(D d, V v, const Codes& codes, bool chroma, Out* HWY_RESTRICT out) {
    const hn::RebindToSigned<D> di;
    const hn::Rebind<Out, D> du;
    const float unit = static_cast<float>(1 << (codes.bits - 8));
    V scaled = hn::MulAdd(v, hn::Set(d, (chroma ? 224.0f : 219.0f) * unit), hn::Set(d, (chroma ? 128.0f : 16.0f) * unit));
    auto code = hn::NearestInt(scaled);
    code = hn::Min(hn::Max(code, hn::Zero(di)), hn::Set(di, (1 << codes.bits) - 1));
    hn::StoreU(hn::DemoteTo(du, code), du, out);
}

template <class Out>
void LumaRowOf(const float* HWY_RESTRICT rgba, int count, TargetCurve curve, const Codes& codes, Out* HWY_RESTRICT luma,
               float* HWY_RESTRICT cb, float* HWY_RESTRICT cr) {
    const D d;
    const size_t n = hn::Lanes(d);
    const YCbCr m = curve == TargetCurve::hlg ? bt2020Matrix : bt709Matrix;
    auto block = [&](const float* in, Out* y, float* pb, float* pr) {
        V r, g, b, a;
        hn::LoadInterleaved4(d, in, r, g, b, a);
        toTarget(d, curve, r, g, b, a);
        auto row = [&](const float* k) {
            return hn::Add(hn::Add(hn::Mul(hn::Set(d, k[0]), r), hn::Mul(hn::Set(d, k[1]), g)), hn::Mul(hn::Set(d, k[2]), b));
        };
        storeCodes(d, row(m.y), codes, false, y);
        hn::StoreU(row(m.cb), d, pb);
        hn::StoreU(row(m.cr), d, pr);
    };
    const size_t total = static_cast<size_t>(std::max(count, 0));
    size_t i = 0;
    for (; i + n <= total; i += n) block(rgba + 4 * i, luma + i, cb + i, cr + i);
    if (i == total) return;
    HWY_ALIGN float rest[4 * mostLanes] = {};
    HWY_ALIGN float out[2][mostLanes];
    HWY_ALIGN Out y[mostLanes];
    const size_t left = std::min(total - i, mostLanes);
    std::copy(rgba + 4 * i, rgba + 4 * (i + left), rest);
    block(rest, y, out[0], out[1]);
    for (size_t k = 0; k < left; ++k) luma[i + k] = y[k], cb[i + k] = out[0][k], cr[i + k] = out[1][k];
}

void LumaRow(const float* HWY_RESTRICT rgba, int count, int curveValue, const Codes& codes, void* luma, float* cb, float* cr) {
    const auto curve = static_cast<TargetCurve>(curveValue);
    if (codes.bits > 8) {
        LumaRowOf(rgba, count, curve, codes, static_cast<uint16_t*>(luma), cb, cr);
    } else {
        LumaRowOf(rgba, count, curve, codes, static_cast<uint8_t*>(luma), cb, cr);
    }
}

template <class Out>
void SignalRowOf(const float* HWY_RESTRICT r, const float* HWY_RESTRICT g, const float* HWY_RESTRICT b, int count,
                 bool hlg, const Codes& codes, Out* HWY_RESTRICT luma, float* HWY_RESTRICT cb, float* HWY_RESTRICT cr) {
    const D d;
    const size_t n = hn::Lanes(d);
    const YCbCr m = hlg ? bt2020Matrix : bt709Matrix;
    const V zero = hn::Zero(d), one = hn::Set(d, 1.0f);
    auto held = [&](V x) {
        x = hn::Max(finite(d, x), zero);
        return hlg ? x : hn::Min(x, one);
    };
    auto block = [&](const float* pr, const float* pg, const float* pb, Out* y, float* pcb, float* pcr) {
        V vr = held(hn::LoadU(d, pr)), vg = held(hn::LoadU(d, pg)), vb = held(hn::LoadU(d, pb));
        auto row = [&](const float* k) {
            return hn::Add(hn::Add(hn::Mul(hn::Set(d, k[0]), vr), hn::Mul(hn::Set(d, k[1]), vg)), hn::Mul(hn::Set(d, k[2]), vb));
        };
        storeCodes(d, row(m.y), codes, false, y);
        hn::StoreU(row(m.cb), d, pcb);
        hn::StoreU(row(m.cr), d, pcr);
    };
    const size_t total = static_cast<size_t>(std::max(count, 0));
    size_t i = 0;
    for (; i + n <= total; i += n) block(r + i, g + i, b + i, luma + i, cb + i, cr + i);
    if (i == total) return;
    HWY_ALIGN float rest[3][mostLanes] = {};
    HWY_ALIGN float out[2][mostLanes];
    HWY_ALIGN Out y[mostLanes];
    const size_t left = std::min(total - i, mostLanes);
    for (size_t k = 0; k < left; ++k) rest[0][k] = r[i + k], rest[1][k] = g[i + k], rest[2][k] = b[i + k];
    block(rest[0], rest[1], rest[2], y, out[0], out[1]);
    for (size_t k = 0; k < left; ++k) luma[i + k] = y[k], cb[i + k] = out[0][k], cr[i + k] = out[1][k];
}

void SignalRow(const float* HWY_RESTRICT r, const float* HWY_RESTRICT g, const float* HWY_RESTRICT b, int count,
               int curveValue, const Codes& codes, void* luma, float* cb, float* cr) {
    const bool hlg = static_cast<TargetCurve>(curveValue) == TargetCurve::hlg;
    if (codes.bits > 8) {
        SignalRowOf(r, g, b, count, hlg, codes, static_cast<uint16_t*>(luma), cb, cr);
    } else {
        SignalRowOf(r, g, b, count, hlg, codes, static_cast<uint8_t*>(luma), cb, cr);
    }
}

template <class Out>
void ChromaRowOf(const float* const* rows, int count, const Codes& codes, Out* HWY_RESTRICT out, float* HWY_RESTRICT scratch) {
    const D d;
    const size_t n = hn::Lanes(d);
    const auto total = static_cast<size_t>(std::max(count, 0));
    const V outer = hn::Set(d, 0.125f), inner = hn::Set(d, 0.375f);
    // Down first: [1 3 3 1] / 8 between the rows, one slot to the left kept
    // for the edge column repeated.
    float* column = scratch + 1;
    size_t x = 0;
    for (; x + n <= total; x += n) {
        V v = hn::Add(hn::Mul(outer, hn::Add(hn::LoadU(d, rows[0] + x), hn::LoadU(d, rows[3] + x))),
                      hn::Mul(inner, hn::Add(hn::LoadU(d, rows[1] + x), hn::LoadU(d, rows[2] + x))));
        hn::StoreU(v, d, column + x);
    }
    for (; x < total; ++x) column[x] = 0.125f * (rows[0][x] + rows[3][x]) + 0.375f * (rows[1][x] + rows[2][x]);
    column[-1] = column[0];
    // Across: [1 2 1] / 4 around each even column, where chroma is sited.
    const size_t half = total / 2;
    const V quarter = hn::Set(d, 0.25f), middle = hn::Set(d, 0.5f);
    auto at = [&](const float* even, Out* o) {
        V centre, right, before, unused;
        hn::LoadInterleaved2(d, even, centre, right);
        hn::LoadInterleaved2(d, even - 1, before, unused);
        storeCodes(d, hn::Add(hn::Mul(quarter, hn::Add(before, right)), hn::Mul(middle, centre)), codes, true, o);
    };
    size_t j = 0;
    for (; j + n <= half; j += n) at(column + 2 * j, out + j);
    if (j == half) return;
    HWY_ALIGN float rest[2 * mostLanes + 1] = {};
    HWY_ALIGN Out codesOut[mostLanes];
    const size_t left = std::min(half - j, mostLanes);
    std::copy(column + 2 * j - 1, column + 2 * (j + left), rest);
    at(rest + 1, codesOut);
    std::copy(codesOut, codesOut + left, out + j);
}

void ChromaRow(const float* const* rows, int count, const Codes& codes, void* out, float* scratch) {
    if (codes.bits > 8) {
        ChromaRowOf(rows, count, codes, static_cast<uint16_t*>(out), scratch);
    } else {
        ChromaRowOf(rows, count, codes, static_cast<uint8_t*>(out), scratch);
    }
}

} // namespace korvel::PlaneKernels::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace korvel::PlaneKernels {

HWY_EXPORT(Interleave);
HWY_EXPORT(YCbCrRow);
HWY_EXPORT(LumaRow);
HWY_EXPORT(SignalRow);
HWY_EXPORT(ChromaRow);

void interleave(const float* r, const float* g, const float* b, float* rgba, int count, const Reading& reading) {
    HWY_DYNAMIC_DISPATCH(Interleave)(r, g, b, rgba, count, static_cast<int>(reading.curve), reading.wide, reading.toneMap);
}

void ycbcrToRgb(double kr, double kb, float matrix[9]) {
    const double kg = 1 - kr - kb;
    const double rows[9] = {1, 0, 2 * (1 - kr), 1, -2 * kb * (1 - kb) / kg, -2 * kr * (1 - kr) / kg, 1, 2 * (1 - kb), 0};
    for (int i = 0; i < 9; ++i) matrix[i] = static_cast<float>(rows[i]);
}

size_t ycbcrScratch(int count) { return static_cast<size_t>(std::max(count, 0)) * 3 + 256; }

void ycbcrRow(const void* luma, const void* const chroma[4], int count, const Source& source, float* r, float* g, float* b,
              float* scratch) {
    HWY_DYNAMIC_DISPATCH(YCbCrRow)(luma, chroma, count, source, r, g, b, scratch);
}

void lumaRow(const float* rgba, int count, TargetCurve curve, const Codes& codes, void* luma, float* cb, float* cr) {
    HWY_DYNAMIC_DISPATCH(LumaRow)(rgba, count, static_cast<int>(curve), codes, luma, cb, cr);
}

void signalRow(const float* r, const float* g, const float* b, int count, TargetCurve curve, const Codes& codes, void* luma,
               float* cb, float* cr) {
    HWY_DYNAMIC_DISPATCH(SignalRow)(r, g, b, count, static_cast<int>(curve), codes, luma, cb, cr);
}

void chromaRow(const float* const rows[4], int count, const Codes& codes, void* out, float* scratch) {
    HWY_DYNAMIC_DISPATCH(ChromaRow)(rows, count, codes, out, scratch);
}

} // namespace korvel::PlaneKernels
#endif
