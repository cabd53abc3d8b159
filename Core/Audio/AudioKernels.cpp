#include "Core/Audio/AudioKernels.hpp"

#include <algorithm>
#include <cmath>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "Core/Audio/AudioKernels.cpp"
#include <hwy/foreach_target.h> // IWYU pragma: keep

#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace korvel::AudioKernels::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Four doubles and eight floats, each as as many vectors of this target as
// hold them, so that lanes are grouped the same way on every target.
using D4 = hn::CappedTag<double, 4>;
using V4 = hn::Vec<D4>;
constexpr size_t width4 = hn::MaxLanes(D4());
constexpr size_t parts4 = 4 / width4;
using F4 = hn::Rebind<float, D4>;

using D8 = hn::CappedTag<float, 8>;
using V8 = hn::Vec<D8>;
constexpr size_t width8 = hn::MaxLanes(D8());
constexpr size_t parts8 = 8 / width8;

template <class D>
HWY_INLINE hn::Vec<D> largest(hn::Vec<D> a, hn::Vec<D> b) {
    return hn::IfThenElse(hn::Gt(a, b), a, b);
}

template <bool masked>
HWY_INLINE void biquadRun(const float* const* HWY_RESTRICT input, int count, const double* HWY_RESTRICT limit,
                          const double* HWY_RESTRICT c, V4* s11, V4* s12, V4* s21, V4* s22, V4* acc) {
    const D4 d;
    const V4 b10 = hn::Set(d, c[0]), b11 = hn::Set(d, c[1]), b12 = hn::Set(d, c[2]);
    const V4 a11 = hn::Set(d, c[3]), a12 = hn::Set(d, c[4]);
    const V4 b20 = hn::Set(d, c[5]), b21 = hn::Set(d, c[6]), b22 = hn::Set(d, c[7]);
    const V4 a21 = hn::Set(d, c[8]), a22 = hn::Set(d, c[9]);
    const float* lane[4] = {input[0], input[1], input[2], input[3]};
    for (int j = 0; j < count; ++j) {
        // Gathered in the loop: off the recurrence's critical path, so free.
        HWY_ALIGN double x[4] = {lane[0][j], lane[1][j], lane[2][j], lane[3][j]};
        for (size_t p = 0; p < parts4; ++p) {
            const V4 in = hn::Load(d, x + p * width4);
            const V4 y1 = hn::Add(hn::Mul(b10, in), s11[p]);
            s11[p] = hn::Add(hn::Sub(hn::Mul(b11, in), hn::Mul(a11, y1)), s12[p]);
            s12[p] = hn::Sub(hn::Mul(b12, in), hn::Mul(a12, y1));
            const V4 y = hn::Add(hn::Mul(b20, y1), s21[p]);
            s21[p] = hn::Add(hn::Sub(hn::Mul(b21, y1), hn::Mul(a21, y)), s22[p]);
            s22[p] = hn::Sub(hn::Mul(b22, y1), hn::Mul(a22, y));
            if (masked) {
                const auto kept = hn::Lt(hn::Set(d, double(j)), hn::Load(d, limit + p * width4));
                acc[p] = hn::Add(acc[p], hn::IfThenElseZero(kept, hn::Mul(y, y)));
            } else {
                acc[p] = hn::Add(acc[p], hn::Mul(y, y));
            }
        }
    }
}

void BiquadPower(const float* const* HWY_RESTRICT input, int count, const int* HWY_RESTRICT valid,
                 const double* HWY_RESTRICT sections, double* HWY_RESTRICT state, double* HWY_RESTRICT power) {
    const D4 d;
    V4 s11[parts4], s12[parts4], s21[parts4], s22[parts4], acc[parts4];
    for (size_t p = 0; p < parts4; ++p) {
        s11[p] = hn::LoadU(d, state + p * width4);
        s12[p] = hn::LoadU(d, state + 4 + p * width4);
        s21[p] = hn::LoadU(d, state + 8 + p * width4);
        s22[p] = hn::LoadU(d, state + 12 + p * width4);
        acc[p] = hn::Zero(d);
    }
    bool whole = true;
    HWY_ALIGN double limit[4];
    for (int l = 0; l < 4; ++l) {
        limit[l] = double(valid[l]);
        whole = whole && valid[l] >= count;
    }
    if (whole) {
        biquadRun<false>(input, count, limit, sections, s11, s12, s21, s22, acc);
    } else {
        biquadRun<true>(input, count, limit, sections, s11, s12, s21, s22, acc);
    }
    for (size_t p = 0; p < parts4; ++p) {
        hn::StoreU(s11[p], d, state + p * width4);
        hn::StoreU(s12[p], d, state + 4 + p * width4);
        hn::StoreU(s21[p], d, state + 8 + p * width4);
        hn::StoreU(s22[p], d, state + 12 + p * width4);
        hn::StoreU(acc[p], d, power + p * width4);
    }
}

void Correlate(const float* HWY_RESTRICT sequence, const float* HWY_RESTRICT reference, int terms,
               float* HWY_RESTRICT scores, int count) {
    const hn::ScalableTag<float> d;
    const int n = static_cast<int>(hn::Lanes(d));
    int m = 0;
    // Four scores' vectors at once: each sum is a chain of additions.
    for (; m + 4 * n <= count; m += 4 * n) {
        auto a0 = hn::Zero(d), a1 = a0, a2 = a0, a3 = a0;
        const float* at = sequence + m;
        for (int j = 0; j < terms; ++j) {
            const auto r = hn::Set(d, reference[j]);
            a0 = hn::Add(a0, hn::Mul(hn::LoadU(d, at + j), r));
            a1 = hn::Add(a1, hn::Mul(hn::LoadU(d, at + j + n), r));
            a2 = hn::Add(a2, hn::Mul(hn::LoadU(d, at + j + 2 * n), r));
            a3 = hn::Add(a3, hn::Mul(hn::LoadU(d, at + j + 3 * n), r));
        }
        hn::StoreU(a0, d, scores + m);
        hn::StoreU(a1, d, scores + m + n);
        hn::StoreU(a2, d, scores + m + 2 * n);
        hn::StoreU(a3, d, scores + m + 3 * n);
    }
    for (; m + n <= count; m += n) {
        auto a = hn::Zero(d);
        for (int j = 0; j < terms; ++j)
            a = hn::Add(a, hn::Mul(hn::LoadU(d, sequence + m + j), hn::Set(d, reference[j])));
        hn::StoreU(a, d, scores + m);
    }
    if (m < count) correlateReference(sequence + m, reference, terms, scores + m, count - m);
}

// The envelope of outputs [16 r, 16 r + 16): e[0..parts8) the first eight,
// e[parts8..) the second.
HWY_INLINE void sixteen(const float* HWY_RESTRICT padded, const PhaseTaps& taps, V8* e) {
    const D8 d;
    V8 a[2 * parts8], b[2 * parts8], c[2 * parts8];
    for (size_t p = 0; p < 2 * parts8; ++p) a[p] = b[p] = c[p] = hn::Zero(d);
    for (int k = 0; k < 32; ++k) {
        const V8 ta = hn::Set(d, taps[0][k]), tb = hn::Set(d, taps[1][k]), tc = hn::Set(d, taps[2][k]);
        for (size_t p = 0; p < 2 * parts8; ++p) {
            const V8 x = hn::LoadU(d, padded + k + p * width8);
            a[p] = hn::Add(a[p], hn::Mul(x, ta));
            b[p] = hn::Add(b[p], hn::Mul(x, tb));
            c[p] = hn::Add(c[p], hn::Mul(x, tc));
        }
    }
    for (size_t p = 0; p < 2 * parts8; ++p) {
        const V8 x = hn::Abs(hn::LoadU(d, padded + 15 + p * width8));
        e[p] = largest<D8>(largest<D8>(x, hn::Abs(a[p])), largest<D8>(hn::Abs(b[p]), hn::Abs(c[p])));
    }
}

void Envelope(const float* HWY_RESTRICT padded, size_t count, const PhaseTaps& taps, float* HWY_RESTRICT out,
              bool raised) {
    const D8 d;
    for (size_t i = 0; i < count; i += 16) {
        V8 e[2 * parts8];
        sixteen(padded + i, taps, e);
        for (size_t p = 0; p < 2 * parts8; ++p) {
            float* to = out + i + p * width8;
            if (raised) e[p] = largest<D8>(e[p], hn::LoadU(d, to));
            hn::StoreU(e[p], d, to);
        }
    }
}

HWY_INLINE float inOrder(const V8* m) {
    const D8 d;
    HWY_ALIGN float lanes[8];
    for (size_t p = 0; p < parts8; ++p) hn::Store(m[p], d, lanes + p * width8);
    float peak = 0;
    for (float v : lanes) peak = std::max(peak, v);
    return peak;
}

float EnvelopePeak(const float* HWY_RESTRICT padded, size_t count, const PhaseTaps& taps) {
    const D8 d;
    V8 m[parts8];
    for (size_t p = 0; p < parts8; ++p) m[p] = hn::Zero(d);
    for (size_t i = 0; i < count; i += 16) {
        V8 e[2 * parts8];
        sixteen(padded + i, taps, e);
        for (size_t p = 0; p < parts8; ++p) m[p] = largest<D8>(m[p], largest<D8>(e[p], e[p + parts8]));
    }
    return inOrder(m);
}

float LargestMagnitude(const float* HWY_RESTRICT x, size_t count) {
    const D8 d;
    V8 m[parts8];
    for (size_t p = 0; p < parts8; ++p) m[p] = hn::Zero(d);
    size_t i = 0;
    for (; i + 8 <= count; i += 8)
        for (size_t p = 0; p < parts8; ++p) m[p] = largest<D8>(m[p], hn::Abs(hn::LoadU(d, x + i + p * width8)));
    float peak = inOrder(m);
    for (; i < count; ++i) peak = std::max(peak, std::fabs(x[i]));
    return peak;
}

void AddVoice(float* HWY_RESTRICT out, int64_t count, double hz, const double* HWY_RESTRICT weight, int harmonics,
              const float* HWY_RESTRICT envelope, float level) {
    const D4 d;
    const F4 df;
    const double cycles = hz / 48'000.0;
    const V4 stepCos = hn::Set(d, std::cos(2.0 * M_PI * cycles * 4.0));
    const V4 stepSin = hn::Set(d, std::sin(2.0 * M_PI * cycles * 4.0));
    const auto gain = hn::Set(df, level);
    constexpr int64_t anchor = 256;
    for (int64_t b = 0; b < count; b += anchor) {
        HWY_ALIGN double cs[4], sn[4];
        for (int j = 0; j < 4; ++j) {
            double turns = cycles * static_cast<double>(b + j);
            turns -= std::floor(turns);
            cs[j] = std::cos(2.0 * M_PI * turns);
            sn[j] = std::sin(2.0 * M_PI * turns);
        }
        V4 c[parts4], s[parts4];
        for (size_t p = 0; p < parts4; ++p) c[p] = hn::Load(d, cs + p * width4), s[p] = hn::Load(d, sn + p * width4);
        const int64_t end = std::min(count, b + anchor);
        for (int64_t n = b; n < end; n += 4) {
            V4 sum[parts4];
            for (size_t p = 0; p < parts4; ++p) {
                const V4 twoC = hn::Add(c[p], c[p]);
                V4 previous = hn::Zero(d), current = s[p];
                V4 total = hn::Mul(hn::Set(d, weight[0]), current);
                for (int h = 1; h < harmonics; ++h) {
                    const V4 next = hn::Sub(hn::Mul(twoC, current), previous);
                    total = hn::Add(total, hn::Mul(hn::Set(d, weight[h]), next));
                    previous = current;
                    current = next;
                }
                sum[p] = total;
            }
            if (n + 4 <= end) {
                for (size_t p = 0; p < parts4; ++p) {
                    const int64_t at = n + static_cast<int64_t>(p * width4);
                    const auto add = hn::Mul(hn::Mul(hn::DemoteTo(df, sum[p]), hn::LoadU(df, envelope + at)), gain);
                    hn::StoreU(hn::Add(hn::LoadU(df, out + at), add), df, out + at);
                }
            } else {
                HWY_ALIGN double lanes[4];
                for (size_t p = 0; p < parts4; ++p) hn::Store(sum[p], d, lanes + p * width4);
                for (int64_t j = 0; j < end - n; ++j)
                    out[n + j] += static_cast<float>(lanes[j]) * envelope[n + j] * level;
            }
            for (size_t p = 0; p < parts4; ++p) {
                const V4 rotatedC = hn::Sub(hn::Mul(c[p], stepCos), hn::Mul(s[p], stepSin));
                s[p] = hn::Add(hn::Mul(s[p], stepCos), hn::Mul(c[p], stepSin));
                c[p] = rotatedC;
            }
        }
    }
}

} // namespace korvel::AudioKernels::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace korvel::AudioKernels {

HWY_EXPORT(BiquadPower);
HWY_EXPORT(Correlate);
HWY_EXPORT(Envelope);
HWY_EXPORT(EnvelopePeak);
HWY_EXPORT(LargestMagnitude);
HWY_EXPORT(AddVoice);

namespace {
float largest(float a, float b) { return a > b ? a : b; }
} // namespace

void biquadPower(const float* const input[4], int count, const int valid[4], const double sections[10],
                 double state[16], double power[4]) {
    HWY_DYNAMIC_DISPATCH(BiquadPower)(input, count, valid, sections, state, power);
}

void biquadPowerReference(const float* const input[4], int count, const int valid[4], const double sections[10],
                          double state[16], double power[4]) {
    const double* c = sections;
    for (int l = 0; l < 4; ++l) {
        double s11 = state[l], s12 = state[4 + l], s21 = state[8 + l], s22 = state[12 + l], acc = 0;
        for (int j = 0; j < count; ++j) {
            const double x = input[l][j];
            const double y1 = c[0] * x + s11;
            s11 = (c[1] * x - c[3] * y1) + s12;
            s12 = c[2] * x - c[4] * y1;
            const double y = c[5] * y1 + s21;
            s21 = (c[6] * y1 - c[8] * y) + s22;
            s22 = c[7] * y1 - c[9] * y;
            acc += j < valid[l] ? y * y : 0.0;
        }
        state[l] = s11, state[4 + l] = s12, state[8 + l] = s21, state[12 + l] = s22;
        power[l] = acc;
    }
}

void correlate(const float* sequence, const float* reference, int terms, float* scores, int count) {
    HWY_DYNAMIC_DISPATCH(Correlate)(sequence, reference, terms, scores, count);
}

void correlateReference(const float* sequence, const float* reference, int terms, float* scores, int count) {
    for (int m = 0; m < count; ++m) {
        float acc = 0;
        for (int j = 0; j < terms; ++j) acc += sequence[m + j] * reference[j];
        scores[m] = acc;
    }
}

void envelope(const float* padded, size_t count, const PhaseTaps& taps, float* out, bool raised) {
    HWY_DYNAMIC_DISPATCH(Envelope)(padded, count, taps, out, raised);
}

void envelopeReference(const float* padded, size_t count, const PhaseTaps& taps, float* out, bool raised) {
    for (size_t i = 0; i < count; ++i) {
        float a = 0, b = 0, c = 0;
        for (int k = 0; k < 32; ++k) {
            a += padded[i + k] * taps[0][k];
            b += padded[i + k] * taps[1][k];
            c += padded[i + k] * taps[2][k];
        }
        const float e = largest(largest(std::fabs(padded[i + 15]), std::fabs(a)), largest(std::fabs(b), std::fabs(c)));
        out[i] = raised ? largest(e, out[i]) : e;
    }
}

float envelopePeak(const float* padded, size_t count, const PhaseTaps& taps) {
    return HWY_DYNAMIC_DISPATCH(EnvelopePeak)(padded, count, taps);
}

float envelopePeakReference(const float* padded, size_t count, const PhaseTaps& taps) {
    float m[8] = {};
    for (size_t i = 0; i < count; i += 16) {
        float e[16];
        envelopeReference(padded + i, 16, taps, e, false);
        for (int l = 0; l < 8; ++l) m[l] = largest(m[l], largest(e[l], e[l + 8]));
    }
    float peak = 0;
    for (float v : m) peak = std::max(peak, v);
    return peak;
}

float largestMagnitude(const float* x, size_t count) { return HWY_DYNAMIC_DISPATCH(LargestMagnitude)(x, count); }

float largestMagnitudeReference(const float* x, size_t count) {
    float m[8] = {};
    size_t i = 0;
    for (; i + 8 <= count; i += 8)
        for (int l = 0; l < 8; ++l) m[l] = largest(m[l], std::fabs(x[i + l]));
    float peak = 0;
    for (float v : m) peak = std::max(peak, v);
    for (; i < count; ++i) peak = std::max(peak, std::fabs(x[i]));
    return peak;
}

void addVoice(float* out, int64_t count, double hz, const double* weight, int harmonics, const float* envelope,
              float level) {
    HWY_DYNAMIC_DISPATCH(AddVoice)(out, count, hz, weight, harmonics, envelope, level);
}

void addVoiceReference(float* out, int64_t count, double hz, const double* weight, int harmonics,
                       const float* envelope, float level) {
    const double cycles = hz / 48'000.0;
    const double stepCos = std::cos(2.0 * M_PI * cycles * 4.0);
    const double stepSin = std::sin(2.0 * M_PI * cycles * 4.0);
    constexpr int64_t anchor = 256;
    for (int64_t b = 0; b < count; b += anchor) {
        const int64_t end = std::min(count, b + anchor);
        // Lane j makes frames b + j, b + j + 4, ...
        for (int64_t j = 0; j < 4; ++j) {
            double turns = cycles * static_cast<double>(b + j);
            turns -= std::floor(turns);
            double c = std::cos(2.0 * M_PI * turns), s = std::sin(2.0 * M_PI * turns);
            for (int64_t n = b + j; n < end; n += 4) {
                const double twoC = c + c;
                double previous = 0, current = s;
                double sum = weight[0] * current;
                for (int h = 1; h < harmonics; ++h) {
                    const double next = twoC * current - previous;
                    sum += weight[h] * next;
                    previous = current;
                    current = next;
                }
                out[n] += static_cast<float>(sum) * envelope[n] * level;
                const double rotatedC = c * stepCos - s * stepSin;
                s = s * stepCos + c * stepSin;
                c = rotatedC;
            }
        }
    }
}

} // namespace korvel::AudioKernels
#endif
