#include "Core/Audio/CalibrationVoice.hpp"

#include <algorithm>
#include <cmath>

namespace korvel::CalibrationVoice {

namespace {
double formant(double f, double centre) {
    const double d = (f - centre) / 150.0;
    return std::exp(-d * d);
}
} // namespace

std::vector<float> samples() {
    constexpr int count = 288'000;
    constexpr double rate = 48'000.0;
    std::vector<float> out(count);
    double phase = 0;
    for (int i = 0; i < count; ++i) {
        const double t = i / rate;
        const double f0 = 130.0 + 20.0 * std::sin(-0.6 * M_PI * t);
        phase += 2 * M_PI * f0 / rate;
        double s = 0;
        for (int k = 1; k <= 30 && k * f0 < 24'000.0; ++k) {
            const double f = k * f0;
            s += std::sin(k * phase) * (formant(f, 700) + 0.02 + 0.5 * formant(f, 1220) + 0.25 * formant(f, 2600));
        }
        const double e = std::max(0.0, std::sin(8 * M_PI * t));
        out[static_cast<size_t>(i)] = static_cast<float>(e * (e * s) * 0.15);
    }
    return out;
}

} // namespace korvel::CalibrationVoice
