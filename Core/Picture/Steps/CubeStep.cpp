#include "Core/Picture/Steps/CubeStep.hpp"

#include "Core/Picture/Kernels/Kernels.hpp"

namespace korvel {

void CubeStep::run(float* p, int count, int, int) const {
    // The eight corners' RGBA entries interpolated as whole vectors.
    typedef float Entry __attribute__((vector_size(16)));
    const float* cube = cube_->data();
    const int n = n_;
    if (n >= 2 && !Kernels::references()) return Kernels::cube(p, count, cube, n);
    const float top = static_cast<float>(n - 1);
    const size_t g1 = static_cast<size_t>(n) * 4, b1 = static_cast<size_t>(n) * n * 4;
    auto load = [](const float* at) {
        Entry e;
        __builtin_memcpy(&e, at, sizeof e);
        return e;
    };
    auto index = [&](float v, int& i, float& f) {
        // Clamped to the cube; not a number counts as 0.
        float c = v > 0 ? (v < 1 ? v * top : top) : 0.0f;
        i = static_cast<int>(c);
        if (i > n - 2) i = n - 2;
        f = c - static_cast<float>(i);
    };
    for (int k = 0; k < count; ++k, p += 4) {
        int r0, g0, b0;
        float dr, dg, db;
        index(p[0], r0, dr);
        index(p[1], g0, dg);
        index(p[2], b0, db);
        const float* c = cube + static_cast<size_t>(r0) * 4 + static_cast<size_t>(g0) * g1 + static_cast<size_t>(b0) * b1;
        Entry c000 = load(c), c100 = load(c + 4), c010 = load(c + g1), c110 = load(c + g1 + 4);
        Entry c001 = load(c + b1), c101 = load(c + b1 + 4), c011 = load(c + b1 + g1), c111 = load(c + b1 + g1 + 4);
        Entry v00 = c000 + (c100 - c000) * dr, v10 = c010 + (c110 - c010) * dr;
        Entry v01 = c001 + (c101 - c001) * dr, v11 = c011 + (c111 - c011) * dr;
        Entry v0 = v00 + (v10 - v00) * dg, v1 = v01 + (v11 - v01) * dg;
        Entry v = v0 + (v1 - v0) * db;
        p[0] = v[0];
        p[1] = v[1];
        p[2] = v[2];
    }
}

} // namespace korvel
