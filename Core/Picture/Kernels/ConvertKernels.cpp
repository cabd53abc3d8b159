#include "Core/Picture/Kernels/ConvertKernels.hpp"

#include <algorithm>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "Core/Picture/Kernels/ConvertKernels.cpp"
#include <hwy/foreach_target.h> // IWYU pragma: keep

#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace korvel::ConvertKernels::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void ColumnSums(const uint8_t* HWY_RESTRICT plane, ptrdiff_t stride, int rows, int count, uint16_t* HWY_RESTRICT sums) {
    const hn::ScalableTag<uint16_t> d;
    const hn::Rebind<uint8_t, decltype(d)> d8;
    const int n = static_cast<int>(hn::Lanes(d));
    int x = 0;
    // Each run of columns summed in registers down all the rows.
    for (; x + n <= count; x += n) {
        auto sum = hn::Zero(d);
        const uint8_t* p = plane + x;
        for (int k = 0; k < rows; ++k, p += stride) sum = hn::Add(sum, hn::PromoteTo(d, hn::LoadU(d8, p)));
        hn::StoreU(sum, d, sums + x);
    }
    if (x < count) columnSumsReference(plane + x, stride, rows, count - x, sums + x);
}

void Bgra(const float* HWY_RESTRICT y, const float* HWY_RESTRICT u, const float* HWY_RESTRICT v, int count,
          const Matrix& m, uint8_t* HWY_RESTRICT out) {
    const hn::ScalableTag<float> d;
    const hn::RebindToSigned<decltype(d)> di;
    const hn::RebindToUnsigned<decltype(d)> du;
    const int n = static_cast<int>(hn::Lanes(d));
    const auto yOffset = hn::Set(d, m.yOffset), yScale = hn::Set(d, m.yScale), cScale = hn::Set(d, m.cScale);
    const auto cbToB = hn::Set(d, m.cbToB), cbToG = hn::Set(d, m.cbToG), crToG = hn::Set(d, m.crToG),
               crToR = hn::Set(d, m.crToR);
    const auto mid = hn::Set(d, 128.0f), half = hn::Set(d, 0.5f), zero = hn::Zero(d), top = hn::Set(d, 255.0f);
    const auto alpha = hn::Set(du, 0xFF000000u);
    // Clamped first, so the truncation is the scalar cast's.
    auto byte = [&](auto value) {
        return hn::BitCast(du, hn::ConvertTo(di, hn::Min(hn::Max(hn::Add(value, half), zero), top)));
    };
    int i = 0;
    for (; i + n <= count; i += n) {
        const auto yy = hn::Mul(hn::Sub(hn::LoadU(d, y + i), yOffset), yScale);
        const auto cb = hn::Mul(hn::Sub(hn::LoadU(d, u + i), mid), cScale);
        const auto cr = hn::Mul(hn::Sub(hn::LoadU(d, v + i), mid), cScale);
        const auto b = byte(hn::Add(yy, hn::Mul(cbToB, cb)));
        const auto g = byte(hn::Sub(hn::Sub(yy, hn::Mul(cbToG, cb)), hn::Mul(crToG, cr)));
        const auto r = byte(hn::Add(yy, hn::Mul(crToR, cr)));
        const auto pixel = hn::Or(hn::Or(b, hn::ShiftLeft<8>(g)), hn::Or(hn::ShiftLeft<16>(r), alpha));
        hn::StoreU(pixel, du, reinterpret_cast<uint32_t*>(out + 4 * i));
    }
    if (i < count) bgraReference(y + i, u + i, v + i, count - i, m, out + 4 * i);
}

} // namespace korvel::ConvertKernels::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace korvel::ConvertKernels {

HWY_EXPORT(ColumnSums);
HWY_EXPORT(Bgra);

void columnSums(const uint8_t* plane, ptrdiff_t stride, int rows, int count, uint16_t* sums) {
    HWY_DYNAMIC_DISPATCH(ColumnSums)(plane, stride, rows, count, sums);
}

void columnSumsReference(const uint8_t* plane, ptrdiff_t stride, int rows, int count, uint16_t* sums) {
    std::fill(sums, sums + count, uint16_t{0});
    for (int k = 0; k < rows; ++k, plane += stride)
        for (int x = 0; x < count; ++x) sums[x] = uint16_t(sums[x] + plane[x]);
}

void bgra(const float* y, const float* u, const float* v, int count, const Matrix& m, uint8_t* out) {
    HWY_DYNAMIC_DISPATCH(Bgra)(y, u, v, count, m, out);
}

void bgraReference(const float* y, const float* u, const float* v, int count, const Matrix& m, uint8_t* out) {
    auto byte = [](float value) { return static_cast<uint8_t>(std::clamp(value + 0.5f, 0.0f, 255.0f)); };
    for (int i = 0; i < count; ++i, out += 4) {
        const float yy = (y[i] - m.yOffset) * m.yScale;
        const float cb = (u[i] - 128.0f) * m.cScale, cr = (v[i] - 128.0f) * m.cScale;
        out[0] = byte(yy + m.cbToB * cb);
        out[1] = byte(yy - m.cbToG * cb - m.crToG * cr);
        out[2] = byte(yy + m.crToR * cr);
        out[3] = 255;
    }
}

} // namespace korvel::ConvertKernels
#endif
