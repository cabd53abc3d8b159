#include "Core/Picture/Steps/FaceBalanceStep.hpp"

namespace korvel {

FaceBalanceStep::FaceBalanceStep(double origI, double origQ, double strength, double warmth)
    : shiftI_(static_cast<float>(strength * (targetI(warmth) - origI))),
      shiftQ_(static_cast<float>(strength * (targetQ(warmth) - origQ))) {}

void FaceBalanceStep::run(float* rgba, int count, int, int) const {
    for (int i = 0; i < count; ++i, rgba += 4) {
        float r = rgba[0], g = rgba[1], b = rgba[2];
        float y = 0.299f * r + 0.587f * g + 0.114f * b;
        float in = 0.595716f * r - 0.274453f * g - 0.321263f * b + shiftI_;
        float q = 0.211456f * r - 0.522591f * g + 0.311135f * b + shiftQ_;
        rgba[0] = y + 0.9563f * in + 0.6210f * q;
        rgba[1] = y - 0.2721f * in - 0.6474f * q;
        rgba[2] = y - 1.1070f * in + 1.7046f * q;
    }
}

} // namespace korvel
