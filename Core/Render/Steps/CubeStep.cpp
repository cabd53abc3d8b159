#include "Core/Render/Steps/CubeStep.hpp"

#include <algorithm>

namespace korvel {

void CubeStep::run(float* p, int count, int, int) const {
    const float* cube = cube_->data();
    const int n = n_;
    const float top = static_cast<float>(n - 1);
    const size_t gStride = static_cast<size_t>(n) * 4, bStride = static_cast<size_t>(n) * n * 4;
    for (int i = 0; i < count; ++i, p += 4) {
        float fr = std::clamp(p[0], 0.0f, 1.0f) * top;
        float fg = std::clamp(p[1], 0.0f, 1.0f) * top;
        float fb = std::clamp(p[2], 0.0f, 1.0f) * top;
        if (!(fr == fr)) fr = 0;
        if (!(fg == fg)) fg = 0;
        if (!(fb == fb)) fb = 0;
        int r0 = std::min(static_cast<int>(fr), n - 2), g0 = std::min(static_cast<int>(fg), n - 2),
            b0 = std::min(static_cast<int>(fb), n - 2);
        float dr = fr - static_cast<float>(r0), dg = fg - static_cast<float>(g0), db = fb - static_cast<float>(b0);
        const float* c000 = cube + static_cast<size_t>(r0) * 4 + static_cast<size_t>(g0) * gStride +
                            static_cast<size_t>(b0) * bStride;
        for (int c = 0; c < 3; ++c) {
            float v00 = c000[c] + (c000[4 + c] - c000[c]) * dr;
            float v10 = c000[gStride + c] + (c000[gStride + 4 + c] - c000[gStride + c]) * dr;
            float v01 = c000[bStride + c] + (c000[bStride + 4 + c] - c000[bStride + c]) * dr;
            float v11 = c000[bStride + gStride + c] + (c000[bStride + gStride + 4 + c] - c000[bStride + gStride + c]) * dr;
            float v0 = v00 + (v10 - v00) * dg;
            float v1 = v01 + (v11 - v01) * dg;
            p[c] = v0 + (v1 - v0) * db;
        }
    }
}

} // namespace korvel
