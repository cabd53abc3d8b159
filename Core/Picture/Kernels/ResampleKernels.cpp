#include "Core/Picture/Kernels/ResampleKernels.hpp"

#include <algorithm>
#include <cstdint>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "Core/Picture/Kernels/ResampleKernels.cpp"
#include <hwy/foreach_target.h> // IWYU pragma: keep

#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace korvel::Kernels::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void WeightedSum(float* HWY_RESTRICT dst, const float* const* HWY_RESTRICT rows, const float* HWY_RESTRICT weights,
                 int taps, size_t count) {
    const hn::ScalableTag<float> d;
    const size_t n = hn::Lanes(d);
    size_t i = 0;
    // Each output is read from every row once and written once.
    for (; i + n <= count; i += n) {
        auto acc = hn::Mul(hn::LoadU(d, rows[0] + i), hn::Set(d, weights[0]));
        for (int k = 1; k < taps; ++k) acc = hn::MulAdd(hn::LoadU(d, rows[k] + i), hn::Set(d, weights[k]), acc);
        hn::StoreU(acc, d, dst + i);
    }
    for (; i < count; ++i) {
        float acc = rows[0][i] * weights[0];
        for (int k = 1; k < taps; ++k) acc += rows[k][i] * weights[k];
        dst[i] = acc;
    }
}

void WeightedSums(float* HWY_RESTRICT a, float* HWY_RESTRICT b, const float* const* HWY_RESTRICT rows,
                  const float* HWY_RESTRICT wa, int ta, const float* HWY_RESTRICT wb, int shift, int tb, size_t count) {
    const hn::ScalableTag<float> d;
    const size_t n = hn::Lanes(d);
    // Rows [0, ta) make a, rows [shift, shift + tb) make b; each row shared
    // by both is read once, and each sum still runs in its own tap order.
    const int both = ta, all = shift + tb;
    size_t i = 0;
    for (; i + n <= count; i += n) {
        auto accA = hn::Mul(hn::LoadU(d, rows[0] + i), hn::Set(d, wa[0]));
        int u = 1;
        for (; u < shift; ++u) accA = hn::MulAdd(hn::LoadU(d, rows[u] + i), hn::Set(d, wa[u]), accA);
        auto v = hn::LoadU(d, rows[shift] + i);
        if (shift > 0) accA = hn::MulAdd(v, hn::Set(d, wa[shift]), accA);
        auto accB = hn::Mul(v, hn::Set(d, wb[0]));
        for (u = shift + 1; u < both; ++u) {
            v = hn::LoadU(d, rows[u] + i);
            accA = hn::MulAdd(v, hn::Set(d, wa[u]), accA);
            accB = hn::MulAdd(v, hn::Set(d, wb[u - shift]), accB);
        }
        for (; u < all; ++u) accB = hn::MulAdd(hn::LoadU(d, rows[u] + i), hn::Set(d, wb[u - shift]), accB);
        hn::StoreU(accA, d, a + i);
        hn::StoreU(accB, d, b + i);
    }
    for (; i < count; ++i) {
        float accA = rows[0][i] * wa[0];
        for (int k = 1; k < ta; ++k) accA += rows[k][i] * wa[k];
        float accB = rows[shift][i] * wb[0];
        for (int k = 1; k < tb; ++k) accB += rows[shift + k][i] * wb[k];
        a[i] = accA;
        b[i] = accB;
    }
}

#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3
// Outputs [o, o + 4) in one vector of 16 lanes, one pixel a block, where their
// first taps lie within 8 pixels of each other inside the line: each tap's
// pixels picked from the 8 pixels from the first output's, its weights
// spread over their blocks, summed in tap order as one pixel alone would be.
HWY_INLINE bool fourAtOnce(float* HWY_RESTRICT dst, const float* HWY_RESTRICT line, int width,
                           const int* HWY_RESTRICT first, const float* HWY_RESTRICT grouped, int taps) {
    const hn::ScalableTag<float> d;
    const hn::RebindToSigned<decltype(d)> di;
    const int f0 = first[0];
    if (f0 < 0 || first[3] - f0 > 7 || first[1] < f0 || first[2] < first[1] || first[3] < first[2] ||
        f0 + taps + 7 > width) {
        return false;
    }
    HWY_ALIGN static constexpr int32_t blocks[16] = {0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3};
    HWY_ALIGN static constexpr int32_t channels[16] = {0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3};
    const auto spread = hn::IndicesFromVec(d, hn::Load(di, blocks));
    auto starts = hn::TableLookupLanes(hn::Sub(hn::LoadDup128(di, first), hn::Set(di, f0)), hn::IndicesFromVec(di, hn::Load(di, blocks)));
    const auto pick = hn::Add(hn::ShiftLeft<2>(starts), hn::Load(di, channels));
    auto acc = hn::Zero(d);
    const float* p = line + static_cast<size_t>(f0) * 4;
    for (int k = 0; k < taps; ++k, p += 4, grouped += 4) {
        const hn::Vec<decltype(d)> pixels{_mm512_permutex2var_ps(hn::LoadU(d, p).raw, pick.raw, hn::LoadU(d, p + 16).raw)};
        acc = hn::MulAdd(pixels, hn::TableLookupLanes(hn::LoadDup128(d, grouped), spread), acc);
    }
    hn::StoreU(acc, d, dst);
    return true;
}
#endif

void ResampleRow(float* HWY_RESTRICT dst, const float* HWY_RESTRICT line, int width, const int* HWY_RESTRICT first,
                 const float* HWY_RESTRICT weights, int taps, int count, const float* HWY_RESTRICT grouped) {
#if HWY_TARGET == HWY_SCALAR
    (void)grouped;
    for (int o = 0; o < count; ++o, dst += 4) {
        const float* w = weights + static_cast<size_t>(o) * static_cast<size_t>(taps);
        float acc[4] = {0, 0, 0, 0};
        for (int k = 0; k < taps; ++k) {
            bool inside = first[o] >= 0 && first[o] + taps <= width;
            if (!inside && w[k] == 0) continue;
            const float* p = line + static_cast<size_t>(std::clamp(first[o] + k, 0, width - 1)) * 4;
            for (int c = 0; c < 4; ++c) acc[c] += p[c] * w[k];
        }
        std::copy_n(acc, 4, dst);
    }
#else
    // One pixel's four channels travel as one vector.
    const hn::FixedTag<float, 4> d;
    auto one = [&](int o) {
        const float* w = weights + static_cast<size_t>(o) * static_cast<size_t>(taps);
        const int f = first[o];
        auto acc = hn::Zero(d);
        if (f >= 0 && f + taps <= width) {
            const float* p = line + static_cast<size_t>(f) * 4;
            for (int k = 0; k < taps; ++k, p += 4) acc = hn::MulAdd(hn::LoadU(d, p), hn::Set(d, w[k]), acc);
        } else {
            for (int k = 0; k < taps; ++k) {
                if (w[k] == 0) continue;
                const float* p = line + static_cast<size_t>(std::clamp(f + k, 0, width - 1)) * 4;
                acc = hn::MulAdd(hn::LoadU(d, p), hn::Set(d, w[k]), acc);
            }
        }
        hn::StoreU(acc, d, dst + static_cast<size_t>(o) * 4);
    };
    int o = 0;
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3
    for (; grouped && o + 4 <= count; o += 4) {
        if (fourAtOnce(dst + static_cast<size_t>(o) * 4, line, width, first + o,
                       grouped + static_cast<size_t>(o) * static_cast<size_t>(taps), taps)) {
            continue;
        }
        for (int j = 0; j < 4; ++j) one(o + j);
    }
#else
    (void)grouped;
#endif
    for (; o < count; ++o) one(o);
#endif
}

} // namespace korvel::Kernels::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace korvel::Kernels {

HWY_EXPORT(WeightedSum);
HWY_EXPORT(WeightedSums);
HWY_EXPORT(ResampleRow);

void weightedSum(float* dst, const float* const* rows, const float* weights, int taps, size_t count) {
    if (taps <= 0) return;
    HWY_DYNAMIC_DISPATCH(WeightedSum)(dst, rows, weights, taps, count);
}

void weightedSums(float* a, float* b, const float* const* rows, const float* wa, int ta, const float* wb, int shift, int tb,
                  size_t count) {
    if (ta <= 0 || tb <= 0 || shift < 0 || shift >= ta || shift + tb < ta) return;
    HWY_DYNAMIC_DISPATCH(WeightedSums)(a, b, rows, wa, ta, wb, shift, tb, count);
}

void resampleRow(float* dst, const float* line, int width, const int* first, const float* weights, int taps, int count,
                 const float* grouped) {
    if (width <= 0 || count <= 0) return;
    HWY_DYNAMIC_DISPATCH(ResampleRow)(dst, line, width, first, weights, taps, count, grouped);
}

std::vector<float> groupedWeights(const float* weights, int taps, int count) {
    const auto t = static_cast<size_t>(std::max(taps, 0));
    const auto groups = (static_cast<size_t>(std::max(count, 0)) + 3) / 4;
    std::vector<float> out(groups * t * 4, 0.0f);
    for (size_t o = 0; o < static_cast<size_t>(std::max(count, 0)); ++o)
        for (size_t k = 0; k < t; ++k) out[(o / 4 * t + k) * 4 + o % 4] = weights[o * t + k];
    return out;
}

} // namespace korvel::Kernels
#endif
