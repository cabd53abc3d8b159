#include "Core/Picture/Steps/HighlightShadowStep.hpp"

#include <algorithm>

namespace korvel {

float HighlightShadowStep::adjusted(float y, float base, float shadow, float highlight) {
    float b = std::clamp(base, 0.0f, 1.0f);
    float dark = (1 - b) * (1 - b);
    float lifted = y + shadow * dark * 0.5f * (1 - std::clamp(y, 0.0f, 1.0f));
    float bright = b * b;
    return lifted - (1 - highlight) * bright * 0.5f * lifted;
}

void HighlightShadowStep::run(float* rgba, int count, int x, int y) const {
    const float* base = base_ ? base_->data() + static_cast<size_t>(y) * static_cast<size_t>(width_) + x : nullptr;
    for (int i = 0; i < count; ++i, rgba += 4) {
        float l = ColorMath::luma(rgba[0], rgba[1], rgba[2]);
        float b = base ? base[i] : l;
        float target = adjusted(l, b, shadow_, highlight_);
        float gain = l > 1e-6f ? target / l : 1.0f;
        if (l <= 1e-6f) {
            float lift = target - l;
            rgba[0] += lift;
            rgba[1] += lift;
            rgba[2] += lift;
            continue;
        }
        rgba[0] *= gain;
        rgba[1] *= gain;
        rgba[2] *= gain;
    }
}

} // namespace korvel
