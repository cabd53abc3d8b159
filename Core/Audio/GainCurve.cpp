#include "Core/Audio/GainCurve.hpp"

#include "Core/Audio/PCMAudio.hpp"

#include <algorithm>
#include <cmath>

namespace korvel {

namespace {

// e^(dB × this) = 10^(dB / 20)
constexpr float dbToExponent = 0.115129255f;

// ⌈pos⌉ limited to [0, count]; positions are client times and may be anywhere.
int64_t firstFrameAt(double pos, int64_t count) {
    const double c = std::ceil(pos);
    if (!(c > 0)) return 0;
    if (c >= static_cast<double>(count)) return count;
    return static_cast<int64_t>(c);
}

} // namespace

GainCurve::GainCurve(std::vector<PlanGainPoint> given) : points(std::move(given)) {
    std::stable_sort(points.begin(), points.end(),
                     [](const PlanGainPoint& a, const PlanGainPoint& b) { return a.outUs < b.outUs; });
}

std::vector<float> GainCurve::linearGains(int64_t count, double startFrame) const {
    if (count < 1) return {};
    std::vector<float> out(static_cast<size_t>(count), 0.0f);
    if (points.empty()) {
        std::fill(out.begin(), out.end(), 1.0f);
        return out;
    }
    auto pos = [&](const PlanGainPoint& p) { return PCMAudio::framePosition(p.outUs) - startFrame; };

    const int64_t head = firstFrameAt(pos(points.front()), count);
    std::fill(out.begin(), out.begin() + head, static_cast<float>(points.front().gainDb));

    for (size_t k = 0; k + 1 < points.size(); ++k) {
        const PlanGainPoint& a = points[k];
        const PlanGainPoint& b = points[k + 1];
        if (!(a.outUs < b.outUs)) continue;
        const double o = pos(a), t = pos(b);
        const int64_t v = firstFrameAt(o, count);
        const int64_t w = firstFrameAt(t, count);
        if (v >= w) continue;
        const double slope = (b.gainDb - a.gainDb) / (t - o);
        const float first = static_cast<float>(a.gainDb + (static_cast<double>(v) - o) * slope);
        const float step = static_cast<float>(slope);
        for (int64_t i = v; i < w; ++i) out[static_cast<size_t>(i)] = first + static_cast<float>(i - v) * step;
    }

    const int64_t tail = firstFrameAt(pos(points.back()), count);
    std::fill(out.begin() + tail, out.end(), static_cast<float>(points.back().gainDb));

    for (float& x : out) x = std::exp(x * dbToExponent);
    return out;
}

} // namespace korvel
