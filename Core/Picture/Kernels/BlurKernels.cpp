#include "Core/Picture/Kernels/BlurKernels.hpp"

#include <utility>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "Core/Picture/Kernels/BlurKernels.cpp"
#include <hwy/foreach_target.h> // IWYU pragma: keep

#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace korvel::Kernels::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using D = hn::ScalableTag<float>;
using V = hn::Vec<D>;

// Four vectors at once, so that the sums' latency hides behind each other.
template <class Pair>
HWY_INLINE void symmetric(float* HWY_RESTRICT dst, const float* HWY_RESTRICT middle, size_t count,
                          const float* HWY_RESTRICT taps, int radius, const Pair& pair) {
    const D d;
    const size_t n = hn::Lanes(d);
    size_t i = 0;
    for (; i + 4 * n <= count; i += 4 * n) {
        const V t0 = hn::Set(d, taps[0]);
        V a0 = hn::Mul(hn::LoadU(d, middle + i), t0), a1 = hn::Mul(hn::LoadU(d, middle + i + n), t0);
        V a2 = hn::Mul(hn::LoadU(d, middle + i + 2 * n), t0), a3 = hn::Mul(hn::LoadU(d, middle + i + 3 * n), t0);
        for (int j = 1; j <= radius; ++j) {
            const V t = hn::Set(d, taps[j]);
            const auto [before, after] = pair(j);
            a0 = hn::Add(a0, hn::Mul(hn::Add(hn::LoadU(d, before + i), hn::LoadU(d, after + i)), t));
            a1 = hn::Add(a1, hn::Mul(hn::Add(hn::LoadU(d, before + i + n), hn::LoadU(d, after + i + n)), t));
            a2 = hn::Add(a2, hn::Mul(hn::Add(hn::LoadU(d, before + i + 2 * n), hn::LoadU(d, after + i + 2 * n)), t));
            a3 = hn::Add(a3, hn::Mul(hn::Add(hn::LoadU(d, before + i + 3 * n), hn::LoadU(d, after + i + 3 * n)), t));
        }
        hn::StoreU(a0, d, dst + i);
        hn::StoreU(a1, d, dst + i + n);
        hn::StoreU(a2, d, dst + i + 2 * n);
        hn::StoreU(a3, d, dst + i + 3 * n);
    }
    for (; i + n <= count; i += n) {
        V a = hn::Mul(hn::LoadU(d, middle + i), hn::Set(d, taps[0]));
        for (int j = 1; j <= radius; ++j) {
            const auto [before, after] = pair(j);
            a = hn::Add(a, hn::Mul(hn::Add(hn::LoadU(d, before + i), hn::LoadU(d, after + i)), hn::Set(d, taps[j])));
        }
        hn::StoreU(a, d, dst + i);
    }
    for (; i < count; ++i) {
        float a = middle[i] * taps[0];
        for (int j = 1; j <= radius; ++j) {
            const auto [before, after] = pair(j);
            a += (before[i] + after[i]) * taps[j];
        }
        dst[i] = a;
    }
}

void SymmetricRow(float* HWY_RESTRICT dst, const float* HWY_RESTRICT src, size_t count, size_t step,
                  const float* HWY_RESTRICT taps, int radius) {
    symmetric(dst, src, count, taps, radius, [&](int j) {
        const size_t by = static_cast<size_t>(j) * step;
        return std::pair<const float*, const float*>(src - by, src + by);
    });
}

void SymmetricColumns(float* HWY_RESTRICT dst, const float* const* HWY_RESTRICT rows, size_t count,
                      const float* HWY_RESTRICT taps, int radius) {
    symmetric(dst, rows[radius], count, taps, radius, [&](int j) {
        return std::pair<const float*, const float*>(rows[radius - j], rows[radius + j]);
    });
}

} // namespace korvel::Kernels::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace korvel::Kernels {

HWY_EXPORT(SymmetricRow);
HWY_EXPORT(SymmetricColumns);

void symmetricRow(float* dst, const float* src, size_t count, size_t step, const float* taps, int radius) {
    HWY_DYNAMIC_DISPATCH(SymmetricRow)(dst, src, count, step, taps, radius);
}

void symmetricColumns(float* dst, const float* const* rows, size_t count, const float* taps, int radius) {
    HWY_DYNAMIC_DISPATCH(SymmetricColumns)(dst, rows, count, taps, radius);
}

void symmetricRowReference(float* dst, const float* src, size_t count, size_t step, const float* taps, int radius) {
    for (size_t i = 0; i < count; ++i) {
        float a = src[i] * taps[0];
        for (int j = 1; j <= radius; ++j) {
            const size_t by = static_cast<size_t>(j) * step;
            a += (src[i - by] + src[i + by]) * taps[j];
        }
        dst[i] = a;
    }
}

void symmetricColumnsReference(float* dst, const float* const* rows, size_t count, const float* taps, int radius) {
    for (size_t i = 0; i < count; ++i) {
        float a = rows[radius][i] * taps[0];
        for (int j = 1; j <= radius; ++j) a += (rows[radius - j][i] + rows[radius + j][i]) * taps[j];
        dst[i] = a;
    }
}

} // namespace korvel::Kernels
#endif
