#include "Core/Picture/Kernels/StatsKernels.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "Core/Picture/Kernels/StatsKernels.cpp"
#include <hwy/foreach_target.h> // IWYU pragma: keep

#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace korvel::StatsKernels::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void ChannelSums(const uint8_t* HWY_RESTRICT bgra, int count, uint64_t* HWY_RESTRICT sums) {
    const hn::ScalableTag<uint32_t> d;
    const int n = static_cast<int>(hn::Lanes(d));
    const auto byte = hn::Set(d, 0xFF);
    // 32-bit lanes hold this many pixels' bytes without overflowing.
    constexpr int perRun = 1 << 16;
    int i = 0;
    while (i + n <= count) {
        auto b = hn::Zero(d), g = hn::Zero(d), r = hn::Zero(d);
        const int end = i + std::min(count - i, perRun * n) / n * n;
        for (; i < end; i += n) {
            const auto p = hn::LoadU(d, reinterpret_cast<const uint32_t*>(bgra + 4 * i));
            b = hn::Add(b, hn::And(p, byte));
            g = hn::Add(g, hn::And(hn::ShiftRight<8>(p), byte));
            r = hn::Add(r, hn::And(hn::ShiftRight<16>(p), byte));
        }
        sums[0] += hn::GetLane(hn::SumOfLanes(d, b));
        sums[1] += hn::GetLane(hn::SumOfLanes(d, g));
        sums[2] += hn::GetLane(hn::SumOfLanes(d, r));
    }
    if (i < count) channelSumsReference(bgra + 4 * i, count - i, sums);
}

void Luma(const uint8_t* HWY_RESTRICT bgra, int count, double* HWY_RESTRICT luma, int32_t* HWY_RESTRICT rounded) {
    const hn::ScalableTag<double> d;
    const hn::Rebind<uint32_t, decltype(d)> du;
    const hn::Rebind<int32_t, decltype(d)> di;
    const int n = static_cast<int>(hn::Lanes(d));
    const auto byte = hn::Set(du, 0xFF);
    const auto kr = hn::Set(d, 0.2126), kg = hn::Set(d, 0.7152), kb = hn::Set(d, 0.0722);
    const auto half = hn::Set(d, 0.5), one = hn::Set(d, 1.0), top = hn::Set(d, 255.0);
    int i = 0;
    for (; i + n <= count; i += n) {
        const auto p = hn::LoadU(du, reinterpret_cast<const uint32_t*>(bgra + 4 * i));
        auto channel = [&](auto shifted) { return hn::PromoteTo(d, hn::BitCast(di, hn::And(shifted, byte))); };
        const auto b = channel(p), g = channel(hn::ShiftRight<8>(p)), r = channel(hn::ShiftRight<16>(p));
        const auto y = hn::Add(hn::Add(hn::Mul(kr, r), hn::Mul(kg, g)), hn::Mul(kb, b));
        hn::StoreU(y, d, luma + i);
        // Non-negative: a fraction of a half or more rounds up, as lround does.
        const auto whole = hn::Floor(y);
        const auto up = hn::IfThenElse(hn::Ge(hn::Sub(y, whole), half), hn::Add(whole, one), whole);
        hn::StoreU(hn::DemoteTo(di, hn::Min(up, top)), di, rounded + i);
    }
    if (i < count) lumaReference(bgra + 4 * i, count - i, luma + i, rounded + i);
}

} // namespace korvel::StatsKernels::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace korvel::StatsKernels {

HWY_EXPORT(ChannelSums);
HWY_EXPORT(Luma);

void channelSums(const uint8_t* bgra, int count, uint64_t sums[3]) {
    HWY_DYNAMIC_DISPATCH(ChannelSums)(bgra, count, sums);
}

void channelSumsReference(const uint8_t* bgra, int count, uint64_t sums[3]) {
    for (int i = 0; i < count; ++i, bgra += 4) {
        sums[0] += bgra[0];
        sums[1] += bgra[1];
        sums[2] += bgra[2];
    }
}

void luma(const uint8_t* bgra, int count, double* out, int32_t* rounded) {
    HWY_DYNAMIC_DISPATCH(Luma)(bgra, count, out, rounded);
}

void lumaReference(const uint8_t* bgra, int count, double* out, int32_t* rounded) {
    for (int i = 0; i < count; ++i, bgra += 4) {
        const uint8_t b = bgra[0], g = bgra[1], r = bgra[2];
        const double y = 0.2126 * r + 0.7152 * g + 0.0722 * b;
        out[i] = y;
        rounded[i] = static_cast<int32_t>(std::clamp<long>(std::lround(y), 0, 255));
    }
}

} // namespace korvel::StatsKernels
#endif
